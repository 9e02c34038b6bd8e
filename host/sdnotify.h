#pragma once

#include <QByteArray>

// Sends systemd's readiness and watchdog notifications: one datagram per notify() to the Unix
// socket named by NOTIFY_SOCKET (a path, or an abstract address written with a leading '@').
// Without that variable every notify() is a no-op, so a console run behaves the same.
class SdNotifier
{
public:
    SdNotifier();
    ~SdNotifier();
    SdNotifier(const SdNotifier &) = delete;
    SdNotifier &operator=(const SdNotifier &) = delete;

    bool isActive() const { return !m_address.isEmpty(); }
    // Newline-separated assignments, e.g. "READY=1\nSTATUS=Running".
    bool notify(const QByteArray &state);

    // Half of WATCHDOG_USEC in milliseconds when systemd's watchdog is on for this process
    // (WATCHDOG_PID, when set, names us); 0 otherwise.
    static int watchdogPingIntervalMs();

private:
    QByteArray m_address;
    int m_fd = -1;
};
