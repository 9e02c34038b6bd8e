#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>

class QtHttpRequest;

// Which pages of another origin may read the camera relay's answers: only the service's own
// pages (the camera wall on the status port, the layout pages on the event port), reached
// through the same host name or address and the same scheme as the relay port itself. Such a
// request's answer names that origin in Access-Control-Allow-Origin and allows credentials, so the
// page's fetch() may read the stream with the session cookie; every other answer goes out exactly
// as it always did, and a browser keeps a page of any other origin from reading it.
//
// A plain class: it takes the Origin and Host a request carries.
class CrossOriginPolicy
{
public:
    struct Facts
    {
        QByteArray origin;
        QByteArray host;
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    // Whether a host name or address (as a Host header names it) is this site's; the same test
    // as for door commands, so a rebound name gains nothing here either.
    using HostTest = std::function<bool(const QByteArray &host)>;

    // The ports whose pages may read; 0 or out of range stands for none.
    void setOwnPorts(const QList<int> &ports) { m_ownPorts = ports; }
    void setSecure(bool secure) { m_secure = secure; }
    void setHostTest(const HostTest &test) { m_hostTest = test; }

    // The origin the answer names; empty when the answer stays as it is.
    QByteArray allowedOrigin(const Facts &facts) const;
    Headers headers(const Facts &facts) const;

    static Facts factsOf(const QtHttpRequest &request);

private:
    QList<int> m_ownPorts;
    bool m_secure = false;
    HostTest m_hostTest;
};
