#include "crossorigin.h"

#include "accessgate.h"
#include "accesspolicy.h"

#include <QHostAddress>

QByteArray CrossOriginPolicy::allowedOrigin(const Facts &facts) const
{
    if (facts.origin.isEmpty())
        return QByteArray();
    const int defaultPort = m_secure ? 443 : 80;
    const AccessPolicy::HostPort host = AccessPolicy::parseHost(facts.host, defaultPort);
    if (!host.valid || (m_hostTest && !m_hostTest(facts.host)))
        return QByteArray();
    // The origin is compared with the one the page would have, as browsers serialize it
    // (lower case, no default port, IPv6 in brackets): anything else, "null" included, is
    // another origin. What is echoed is then bytes this service wrote itself.
    const QHostAddress address(host.host);
    const bool v6 = !address.isNull() && address.protocol() == QAbstractSocket::IPv6Protocol;
    QByteArray site = m_secure ? QByteArrayLiteral("https://") : QByteArrayLiteral("http://");
    site += v6 ? '[' + host.host.toLatin1() + ']' : host.host.toLatin1();
    for (int port : m_ownPorts) {
        if (port <= 0 || port > 65535)
            continue;
        const QByteArray own = port == defaultPort ? site : site + ':' + QByteArray::number(port);
        if (facts.origin == own)
            return own;
    }
    return QByteArray();
}

CrossOriginPolicy::Headers CrossOriginPolicy::headers(const Facts &facts) const
{
    const QByteArray origin = allowedOrigin(facts);
    if (origin.isEmpty())
        return Headers();
    return {{QByteArrayLiteral("Access-Control-Allow-Origin"), origin},
            {QByteArrayLiteral("Access-Control-Allow-Credentials"), QByteArrayLiteral("true")}};
}

CrossOriginPolicy::Facts CrossOriginPolicy::factsOf(const QtHttpRequest &request)
{
    const AccessFacts access = AccessGate::factsOf(request, false);
    return Facts{access.origin, access.host};
}
