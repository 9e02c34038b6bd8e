// Fuzz target for the packets of the Central server: bytes parsed as packets and driven through
// the service's handling of them, with a real settings store and layout directory in a
// temporary sandbox. Any packets must be handled without a crash or sanitizer report, pings
// must be answered or lead to a registration exactly as their numbers say, only a data packet
// for this service may replace the configuration, and nothing may be written outside the
// layout directory, whatever names the configuration and the layout commands carry.
//
// An input is a sequence of packets, each preceded by its length in two bytes (big-endian; a
// length past the end takes the rest), so that a configuration and the layout commands naming
// it can arrive in one input. Each input starts from the same small configuration.
//
// Built as a libFuzzer target with clang (-DVELTRA_FUZZ=ON), otherwise with the replay driver.

#include "appdir.h"
#include "config.h"
#include "fuzzsupport.h"
#include "packethandler.h"
#include "settings.h"
#include "svc.pb.h"
#include "systemdata.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QString serviceId = QStringLiteral("site-1");

// The application directory sits a few levels below the sandbox root, so that a page written
// through ".." segments lands inside the sandbox, where the check after each input finds it.
const QStringList levels = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                            QStringLiteral("d"), QStringLiteral("app")};

struct Sandbox
{
    QTemporaryDir root{QFileInfo::exists(QStringLiteral("/dev/shm"))
                           ? QStringLiteral("/dev/shm/veltra-fuzz-XXXXXX")
                           : QDir::tempPath() + QStringLiteral("/veltra-fuzz-XXXXXX")};
    QString appDir;
    QString layoutDir;
};

SystemData baseline()
{
    SystemData data;
    DVR *dvr = data.add_dvrs();
    dvr->set_id(1);
    dvr->set_name("Lobby");
    dvr->set_ip("10.0.0.9");
    IO *gate = data.add_ios();
    gate->set_id(12);
    gate->set_name("Gate");
    gate->set_dvr_id(1);
    IO *orphan = data.add_ios();
    orphan->set_id(14);
    orphan->set_name("Side");
    orphan->set_dvr_id(2);
    Stream *stream = data.add_streams();
    stream->set_id(3);
    stream->set_dvr_id(1);
    stream->set_channels("[\"1\",\"2\"]");
    return data;
}

Sandbox &sandbox()
{
    static Sandbox *instance = [] {
        auto *box = new Sandbox;
        std::atexit([] { delete &sandbox(); });
        if (!box->root.isValid()) {
            fprintf(stderr, "no temporary directory\n");
            abort();
        }
        box->appDir = box->root.path() + QLatin1Char('/') + levels.join(QLatin1Char('/'));
        QDir().mkpath(box->appDir);
        box->layoutDir = box->appDir + QStringLiteral("/html");
        setApplicationDirectory(box->appDir);
        QDir().mkpath(box->layoutDir + QStringLiteral("/Lobby"));
        {
            QSettings ini(box->appDir + QStringLiteral("/settings.ini"), QSettings::IniFormat);
            ini.setValue(QStringLiteral("id"), serviceId);
            ini.setValue(QStringLiteral("ioPath"), QStringLiteral("html"));
        }
        // Unparsable strings are reported by the protobuf library itself on standard error.
        google::protobuf::SetLogHandler(nullptr);
        Settings::instance();
        replaceConfiguration(baseline());
        Config::instance().load();
        return box;
    }();
    return *instance;
}

void fail(const char *what, const QByteArray &input)
{
    fprintf(stderr, "%s\ninput: %s\n", what, input.toHex().constData());
    abort();
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                               | QDir::NoDotAndDotDot);
}

// Everything in the sandbox is the path down to the application directory, the store beside
// it, and regular files and directories inside the layout directory.
void checkNothingOutside(const QByteArray &input)
{
    const Sandbox &box = sandbox();
    QString dir = box.root.path();
    for (const QString &level : levels) {
        if (entries(dir) != QStringList{level})
            fail("something was written beside the application directory", input);
        dir += QLatin1Char('/') + level;
    }
    static const QSet<QString> allowed = {
        QStringLiteral("settings.db"),         QStringLiteral("settings.ini"),
        QStringLiteral("settings.db-journal"), QStringLiteral("settings.db-wal"),
        QStringLiteral("settings.db-shm"),     QStringLiteral("html"),
    };
    for (const QString &name : entries(dir)) {
        if (!allowed.contains(name))
            fail("something was written into the application directory", input);
    }
    QDirIterator it(box.layoutDir,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (info.isSymLink() || !(info.isFile() || info.isDir()))
            fail("the layout directory holds something other than pages", input);
    }
}

void checkOutcome(const Packet &packet, bool parsed, qint32 lastBefore,
                  const PacketHandler::Outcome &outcome, const PacketHandler &handler,
                  const QByteArray &input)
{
    const bool service = parsed && packet.client_type() == SERVICE;
    const bool ping = service && packet.oneof_data_case() == Packet::kPing;
    const bool forUs = service && QString::fromStdString(packet.client_id()) == serviceId;
    if (outcome.configUpdated != (forUs && packet.oneof_data_case() == Packet::kData))
        fail("configuration replaced by a packet that is no data for this service", input);
    if (!ping) {
        if (outcome.pong || outcome.registerAgain || handler.lastPingNumber() != lastBefore)
            fail("a packet other than a ping was answered as one", input);
        return;
    }
    const bool same = packet.ping().number() == lastBefore;
    if (outcome.pong != same || outcome.registerAgain == same
        || handler.lastPingNumber() != packet.ping().number())
        fail("a ping answered against its number", input);
}

// The stored configuration holds nothing the data packet did not carry.
void checkStoredConfiguration(const Packet &packet, const QByteArray &input)
{
    QSet<int> dvrIds, ioIds;
    for (const DVR &dvr : packet.data().dvrs())
        dvrIds.insert(dvr.id());
    for (const IO &io : packet.data().ios())
        ioIds.insert(io.id());
    const Config &config = Config::instance();
    for (int id : config.dvrs.keys()) {
        if (!dvrIds.contains(id))
            fail("a stored DVR that the data did not carry", input);
    }
    for (int id : config.ios.keys()) {
        if (!ioIds.contains(id))
            fail("a stored IO board that the data did not carry", input);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialize();
    Sandbox &box = sandbox();
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));

    PacketHandler handler;
    bool reconfigured = false;
    bool commanded = false;
    for (int pos = 0; pos + 2 <= input.size();) {
        const int length = (uchar(input.at(pos)) << 8) | uchar(input.at(pos + 1));
        const QByteArray bytes = input.mid(pos + 2, length);
        pos += 2 + bytes.size();

        Packet packet;
        const bool parsed = packet.ParseFromArray(bytes.constData(), bytes.size());
        commanded = commanded || (parsed && packet.oneof_data_case() == Packet::kCommand);
        const qint32 lastBefore = handler.lastPingNumber();
        const PacketHandler::Outcome outcome = handler.handle(bytes);
        checkOutcome(packet, parsed, lastBefore, outcome, handler, input);
        if (outcome.configUpdated) {
            // As the controller does on configUpdated(): later commands see the new records.
            Config::instance().load();
            checkStoredConfiguration(packet, input);
            reconfigured = true;
        }
    }

    if (commanded) {
        checkNothingOutside(input);
        // Back to the layout directory of a site that has pages already: a path through ".."
        // only resolves when the directories it climbs out of exist.
        QDir(box.layoutDir).removeRecursively();
        QDir().mkpath(box.layoutDir + QStringLiteral("/Lobby"));
    }
    if (reconfigured) {
        replaceConfiguration(baseline());
        Config::instance().load();
    }
    return 0;
}

#ifndef VELTRA_LIBFUZZER
#include "fuzzreplay.h"

int main(int argc, char **argv)
{
    static const char alphabet[] = "\x00\x01\x08\x10\x12\x1a\x22\x2a\x32\x6a\x7a./\\site-1";
    return replayCorpus(argc, argv, QByteArray(alphabet, int(sizeof(alphabet)) - 1), false);
}
#endif
