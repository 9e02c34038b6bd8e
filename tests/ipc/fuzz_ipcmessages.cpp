// Fuzz target for the messages the process manager receives from the watchdog and the streamers
// over the local channel. Any sequence of messages, from listed and unlisted identities, mixed
// with the manager's own supervision steps, must be handled without a crash or sanitizer
// report, and every message must be answered as the conversation says: an unlisted identity
// only hears "kill", a ping is answered "pong", answers go to the sender or to the watchdog and
// nowhere else, a version report names one entry, and no message adds a peer to the table.
//
// An input is a sequence of messages: a byte choosing the sender (or a supervision step), a
// length byte, and that many bytes of payload, decoded from UTF-8 as the channel does.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "config.h"
#include "fuzzsupport.h"
#include "rtspprocessmgr.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaMethod>
#include <QMetaObject>
#include <QPair>
#include <QSet>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QString watchdog = QStringLiteral("watchdog");

using Sent = QList<QPair<QString, QString>>;

void configure()
{
    Config &config = Config::instance();
    config.appDir = QStringLiteral("/opt/veltra");
    DVRInfo dvr;
    dvr.id = 1;
    dvr.name = QStringLiteral("Lobby");
    dvr.ip = QStringLiteral("10.0.0.9");
    dvr.user = QStringLiteral("u");
    dvr.pass = QStringLiteral("p");
    config.dvrs.insert(dvr.id, dvr);
    auto add = [&](int id, int type, int outPort, const QList<int> &channels) {
        StreamInfo stream;
        stream.id = id;
        stream.dvrId = 1;
        stream.name = QStringLiteral("s%1").arg(id);
        stream.type = type;
        stream.inPort = 554;
        stream.outPort = outPort;
        stream.channels = channels;
        config.streams.insert(id, stream);
    };
    add(1, 1, 8554, {1, 2});
    add(2, 4, 8554, {3});
    add(3, 5, 8555, {1});
    add(4, 0, 8080, {1});
}

QSet<QString> peerSet(const RTSPProcessMgr &manager)
{
    QSet<QString> peers;
    for (auto it = manager.slaveStates().cbegin(); it != manager.slaveStates().cend(); ++it)
        peers.insert(it.key());
    return peers;
}

// The same peers as `peers`, without building a set per message.
bool samePeers(const RTSPProcessMgr &manager, const QSet<QString> &peers)
{
    const QHash<QString, RTSPProcessMgr::SlaveState> &states = manager.slaveStates();
    if (states.size() != peers.size())
        return false;
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        if (!peers.contains(it.key()))
            return false;
    }
    return true;
}

// The manager's private handlers, looked up once: a lookup by name per message would cost more
// than the message.
QMetaMethod method(const char *signature)
{
    const QMetaObject &meta = RTSPProcessMgr::staticMetaObject;
    return meta.method(meta.indexOfMethod(signature));
}

void fail(const char *what, const QByteArray &input)
{
    fprintf(stderr, "%s\ninput: %s\n", what, input.toHex().constData());
    abort();
}

void checkAnswers(const QString &sender, const QString &message, bool listed, const Sent &sent,
                  const RTSPProcessMgr &manager, const QSet<QString> &peersBefore,
                  const QByteArray &input)
{
    if (!samePeers(manager, peersBefore))
        fail("a message changed the table of peers", input);
    if (!listed) {
        if (sent != Sent{{sender, QStringLiteral("kill")}})
            fail("an unlisted identity was told something other than kill", input);
        return;
    }
    if (!manager.slaveStates().value(sender).connected)
        fail("a listed peer that spoke is not connected", input);
    for (const auto &answer : sent) {
        if (answer.first != sender && answer.first != watchdog)
            fail("an answer went to a third peer", input);
        const QStringList fields = answer.second.split(QLatin1Char('$'));
        if (fields.first() == QLatin1String("version") && fields.size() != 3)
            fail("a version report that does not name exactly one entry", input);
    }
    const QStringList fields = message.split(QLatin1Char('$'));
    if (fields.first() == QLatin1String("ping") && sent != Sent{{sender, QStringLiteral("pong")}})
        fail("a ping not answered by exactly one pong", input);
    const QHash<QString, QString> &versions = manager.versionTable();
    if (versions.size() > RTSPProcessMgr::MaxVersionEntries)
        fail("the version table grew past its bound", input);
    if (fields.first() == QLatin1String("reset") && sender != watchdog && fields.size() == 3
        && fields.at(1).size() <= RTSPProcessMgr::MaxVersionLength
        && fields.at(2).size() <= RTSPProcessMgr::MaxVersionLength
        && versions.size() < RTSPProcessMgr::MaxVersionEntries
        && versions.value(fields.at(1)) != fields.at(2))
        fail("a streamer's version was not kept", input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool configured = (FuzzSupport::initialize(), configure(), true);
    Q_UNUSED(configured)
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));

    static const QMetaMethod handleMessage = method("handleIPCMessage(QString,QString)");
    static const QMetaMethod handleTimeout = method("handleTimeout()");
    RTSPProcessMgr manager;
    Sent sent;
    manager.setOutbox([&sent](const QString &peer, const QString &message) {
        sent.append({peer, message});
    });
    manager.createProgsList();
    QSet<QString> peersBefore;

    for (int pos = 0; pos + 2 <= input.size();) {
        const uchar selector = uchar(input.at(pos));
        const QByteArray payload = input.mid(pos + 2, uchar(input.at(pos + 1)));
        pos += 2 + payload.size();

        QString sender;
        QString message = QString::fromUtf8(payload);
        switch (selector % 8) {
        case 0:
            sender = watchdog;
            break;
        case 1:
            sender = QStringLiteral("8554");
            break;
        case 2:
            sender = QStringLiteral("8555");
            break;
        case 3:
            sender = QStringLiteral("8080"); // an MJPEG stream's port: never a streamer
            break;
        case 4: {
            // Any identity: the payload up to its first NUL byte names it.
            const int nul = payload.indexOf('\0');
            sender = QString::fromUtf8(payload.left(nul < 0 ? 0 : nul));
            message = QString::fromUtf8(payload.mid(nul + 1));
            break;
        }
        default:
            // One of the manager's own steps between messages; the list it rebuilds is taken
            // afresh before the next message.
            sent.clear();
            peersBefore.clear();
            switch (selector % 4) {
            case 0:
                manager.stopRtspProcesses();
                break;
            case 1:
                manager.startAllRtspSlaves();
                break;
            case 2:
                manager.createProgsList();
                break;
            default:
                handleTimeout.invoke(&manager, Qt::DirectConnection);
                break;
            }
            for (const auto &answer : sent) {
                if (answer.first != watchdog && !manager.programs().contains(answer.first))
                    fail("a supervision step spoke to a peer that is no streamer", input);
            }
            continue;
        }
        if (peersBefore.isEmpty())
            peersBefore = peerSet(manager);
        const bool listed = manager.slaveStates().contains(sender);
        sent.clear();
        handleMessage.invoke(&manager, Qt::DirectConnection, Q_ARG(QString, sender),
                             Q_ARG(QString, message));
        checkAnswers(sender, message, listed, sent, manager, peersBefore, input);
    }
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    static const char alphabet[] = "$\x00\x01\x04\x08pingresetversionkillwatchdog8554";
    return replayCorpus(argc, argv, QByteArray(alphabet, int(sizeof(alphabet)) - 1), false);
}
#endif
