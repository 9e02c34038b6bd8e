#pragma once

#include <QByteArray>
#include <QtGlobal>

// What the service does with one packet from the Central server, apart from answering it: it
// replaces the stored configuration, stores layout pages and keeps the last ping number. What
// is to be sent or signalled is returned, so that the transport stays outside and any bytes can
// be driven through here directly.
class PacketHandler
{
public:
    struct Outcome
    {
        // A ping with the number seen last: answer with a pong.
        bool pong = false;
        // A ping with another number: the Central server expects a new registration.
        bool registerAgain = false;
        // The stored configuration was replaced.
        bool configUpdated = false;
        // The Central server confirmed this service's registration.
        bool registered = false;
        // Any ping, whatever its number.
        bool ping = false;
    };

    Outcome handle(const QByteArray &data);

    qint32 lastPingNumber() const { return m_lastPingNumber; }

private:
    qint32 m_lastPingNumber = 0;
};
