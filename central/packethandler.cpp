#include "packethandler.h"

#include "config.h"
#include "iolayout.h"
#include "svc.pb.h"
#include "systemdata.h"

#include <QDebug>
#include <QString>

PacketHandler::Outcome PacketHandler::handle(const QByteArray &data)
{
    Outcome outcome;
    Packet packet;
    if (!packet.ParseFromArray(data.constData(), data.size())) {
        qDebug() << "void CommandManager::handleTopicMessage(QByteArray, QByteArray)";
        qDebug() << "  Can't parse buffer";
        return outcome;
    }
    if (packet.client_type() != SERVICE)
        return outcome;

    const QString clientId = QString::fromStdString(packet.client_id());
    const bool forUs = clientId == Config::instance().id;

    switch (packet.oneof_data_case()) {
    case Packet::kHello:
        if (forUs) {
            qDebug() << QStringLiteral("  Registered id: %1").arg(clientId);
            outcome.registered = true;
        }
        break;
    case Packet::kData:
        if (forUs) {
            replaceConfiguration(packet.data());
            outcome.configUpdated = true;
        }
        break;
    case Packet::kCommand:
        if (forUs) {
            qDebug() << QStringLiteral("kCommand, type: %1").arg(int(packet.command().type()));
            if (packet.command().type() == GENERATE_IO)
                generateIoLayout(packet.command());
        }
        break;
    case Packet::kPing:
        outcome.ping = true;
        if (packet.ping().number() == m_lastPingNumber) {
            outcome.pong = true;
        } else {
            m_lastPingNumber = packet.ping().number();
            outcome.registerAgain = true;
        }
        break;
    default:
        qDebug() << QStringLiteral("  unhandled type: %1").arg(int(packet.oneof_data_case()));
        break;
    }
    return outcome;
}
