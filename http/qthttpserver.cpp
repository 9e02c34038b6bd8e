#include "qthttpserver.h"

#include "httpgate.h"
#include "qthttpclientwrapper.h"
#include "qthttpreply.h"
#include "qthttprequest.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QTcpSocket>

namespace {

// TLS 1.2 and later, with forward-secret AEAD suites only: HTTP/2 forbids the others, and
// scanners rightly report CBC suites on a port that offers them.
QSslConfiguration buildTlsConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    QList<QSslCipher> ciphers;
    const QList<QSslCipher> supported = QSslConfiguration::supportedCiphers();
    for (const QSslCipher &cipher : supported) {
        const QString name = cipher.name();
        const bool tls13 = name.startsWith(QLatin1String("TLS_"));
        const bool aead
            = name.contains(QLatin1String("GCM")) || name.contains(QLatin1String("CHACHA20"));
        const bool forwardSecret
            = name.startsWith(QLatin1String("ECDHE-")) || name.startsWith(QLatin1String("DHE-"));
        if (tls13 || (aead && forwardSecret && !name.contains(QLatin1String("PSK"))))
            ciphers.append(cipher);
    }
    config.setCiphers(ciphers);
    config.setAllowedNextProtocols(
        {QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1});
    return config;
}

const QSslConfiguration &tlsConfiguration()
{
    static const QSslConfiguration config = buildTlsConfiguration();
    return config;
}

} // namespace

QtHttpServerWrapper::QtHttpServerWrapper(QObject *parent)
    : QTcpServer(parent)
{ }

void QtHttpServerWrapper::setUseSecure(bool ssl)
{
    m_useSsl = ssl;
}

void QtHttpServerWrapper::incomingConnection(qintptr handle)
{
    QTcpSocket *socket = m_useSsl ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    addPendingConnection(socket);
}

QtHttpServer::QtHttpServer(QObject *parent)
    : QObject(parent)
    , m_serverName(QStringLiteral("The Qt5 HTTP Server"))
    , m_listener(new QtHttpServerWrapper(this))
{
    qRegisterMetaType<QList<QSslCertificate>>();
    qRegisterMetaType<QList<QSslError>>();
    connect(m_listener, &QtHttpServerWrapper::newConnection, this,
            &QtHttpServer::onClientConnected);
}

QtHttpServer::~QtHttpServer()
{
    // The sockets report their disconnection while the children go; nobody should hear of it
    // from a server that is half destroyed.
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it)
        disconnect(it.key(), nullptr, this, nullptr);
    // A server stopped before may already have a successor counting on the same port.
    if (m_counters && m_listener->isListening()) {
        m_counters->open = false;
        m_counters->connections = 0;
        m_counters->http2Connections = 0;
        m_counters->http2Streams = 0;
    }
}

quint16 QtHttpServer::serverPort() const
{
    return m_listener->serverPort();
}

bool QtHttpServer::isListening() const
{
    return m_listener->isListening();
}

QString QtHttpServer::errorString() const
{
    return m_listener->errorString();
}

void QtHttpServer::start(quint16 port)
{
    if (m_listener->listen(m_listenAddress, port)) {
        if (m_counterTable) {
            m_counters = &(*m_counterTable)[m_listener->serverPort()];
            m_counters->open = true;
            m_counters->connections = m_clients.size();
        }
        emit started(m_listener->serverPort());
    } else {
        emit error(m_listener->errorString());
    }
}

void QtHttpServer::stop()
{
    if (!m_listener->isListening())
        return;
    m_listener->close();
    if (m_counters) {
        m_counters->open = false;
        // What its remaining connections do is no longer the port's.
        m_counters->connections = 0;
        m_counters->http2Connections = 0;
        m_counters->http2Streams = 0;
        m_counters = nullptr;
    }
    emit stopped();
}

void QtHttpServer::setGate(HttpGate *gate, const OperateTest &operate)
{
    if (m_gate)
        disconnect(m_gate, nullptr, this, nullptr);
    m_gate = gate;
    m_operate = operate;
    if (gate)
        connect(gate, &HttpGate::revoked, this, &QtHttpServer::onGateRevoked);
}

void QtHttpServer::onGateRevoked(const QStringList &identities)
{
    // Closing reports the disconnection, which edits m_clients: walk a copy.
    const QList<QtHttpClientWrapper *> clients = m_clients.values();
    QList<QPointer<QtHttpClientWrapper>> guarded;
    for (QtHttpClientWrapper *client : clients)
        guarded.append(client);
    for (const QPointer<QtHttpClientWrapper> &client : qAsConst(guarded)) {
        if (client)
            client->revoke(identities);
    }
}

void QtHttpServer::setServerName(const QString &serverName)
{
    m_serverName = serverName;
}

void QtHttpServer::setUseSecure(bool ssl)
{
    m_useSsl = ssl;
    m_listener->setUseSecure(ssl);
}

void QtHttpServer::setPrivateKey(const QSslKey &key)
{
    m_sslKey = key;
}

void QtHttpServer::setCertificates(const QList<QSslCertificate> &certs)
{
    m_sslCertificates = certs;
}

void QtHttpServer::onClientConnected()
{
    QPointer<QtHttpServer> self(this);
    while (m_listener->hasPendingConnections()) {
        QTcpSocket *socket = m_listener->nextPendingConnection();
        if (!socket)
            break;
        if (m_clients.size() >= m_maxConnections) {
            // Refused at once, so that file descriptors cannot run out.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QTcpSocket::disconnected, this, &QtHttpServer::onClientDisconnected);
        if (m_useSsl) {
            if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
                connect(ssl, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
                        &QtHttpServer::onClientSslErrors);
                connect(ssl, &QSslSocket::encrypted, this, &QtHttpServer::onClientSslEncrypted);
                connect(ssl, &QSslSocket::peerVerifyError, this,
                        &QtHttpServer::onClientSslPeerVerifyError);
                connect(ssl, &QSslSocket::modeChanged, this, &QtHttpServer::onClientSslModeChanged);
                ssl->setSslConfiguration(tlsConfiguration());
                ssl->setLocalCertificateChain(m_sslCertificates);
                ssl->setPrivateKey(m_sslKey);
                ssl->setPeerVerifyMode(QSslSocket::AutoVerifyPeer);
                ssl->startServerEncryption();
            }
        }
        auto *wrapper = new QtHttpClientWrapper(socket, this);
        m_clients.insert(socket, wrapper);
        if (m_counters)
            m_counters->connections = m_clients.size();
        emit clientConnected(wrapper->guid());
        if (!self)
            return;
    }
}

void QtHttpServer::onClientDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || m_clients.isEmpty())
        return;
    QtHttpClientWrapper *wrapper = m_clients.value(socket);
    if (!wrapper)
        return;
    QPointer<QtHttpServer> self(this);
    emit clientDisconnected(wrapper->guid());
    if (!self)
        return;
    wrapper->deleteLater();
    m_clients.remove(socket);
    if (m_counters)
        m_counters->connections = m_clients.size();
    socket->deleteLater();
}

void QtHttpServer::onClientSslEncrypted() { }

void QtHttpServer::onClientSslPeerVerifyError(const QSslError &err)
{
    Q_UNUSED(err)
}

void QtHttpServer::onClientSslErrors(const QList<QSslError> &errors)
{
    Q_UNUSED(errors)
}

void QtHttpServer::onClientSslModeChanged(QSslSocket::SslMode mode)
{
    Q_UNUSED(mode)
}
