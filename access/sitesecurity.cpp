#include "sitesecurity.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <functional>

namespace {

constexpr int HandshakeTimeoutMs = 5000;

QString absolute(const QString &path, const QString &appDir)
{
    return QDir::isAbsolutePath(path) ? path : QDir(appDir).filePath(path);
}

QStringList listValue(const QVariant &value)
{
    // An unquoted "a, b" reads as a list, a quoted one as a string.
    const QStringList raw = value.type() == QVariant::StringList
        ? value.toStringList()
        : value.toString().split(QLatin1Char(','));
    QStringList result;
    for (const QString &item : raw) {
        const QString trimmed = item.trimmed();
        if (!trimmed.isEmpty())
            result.append(trimmed);
    }
    return result;
}

bool readFile(const QString &path, QByteArray *bytes, QString *problem)
{
    QFile file(path);
    if (!file.exists()) {
        *problem = QStringLiteral("%1 does not exist").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1 can't be read (%2)").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    return true;
}

// Hands out TLS sockets for the connections it accepts.
class HandshakeListener : public QTcpServer
{
public:
    std::function<void(QSslSocket *)> accepted;

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(handle) && accepted)
            accepted(socket);
    }
};

// Serves one TLS handshake to a client of our own: the only sure way to learn that the key
// belongs to the certificate and the TLS library accepts both.
bool handshake(const HttpServerSetup &setup, QString *problem)
{
    HandshakeListener listener;
    if (!listener.listen(QHostAddress::LocalHost, 0)) {
        *problem = QStringLiteral("no loopback port to check it on");
        return false;
    }
    QEventLoop loop;
    QSslSocket client;
    QSslSocket *server = nullptr;
    QString failure;
    bool serverDone = false;
    bool clientDone = false;
    auto settle = [&] {
        if ((serverDone && clientDone) || !failure.isEmpty())
            loop.quit();
    };
    listener.accepted = [&](QSslSocket *socket) {
        server = socket;
        server->setLocalCertificateChain(setup.certificates);
        server->setPrivateKey(setup.key);
        QObject::connect(server, &QSslSocket::encrypted, [&] {
            serverDone = true;
            settle();
        });
        QObject::connect(server, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
                         [&](const QList<QSslError> &errors) {
                             failure = errors.value(0).errorString();
                             settle();
                         });
        QObject::connect(server, &QAbstractSocket::errorOccurred, [&] {
            failure = server->errorString();
            settle();
        });
        server->startServerEncryption();
    };
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    QObject::connect(&client, &QSslSocket::encrypted, [&] {
        clientDone = true;
        settle();
    });
    QTimer::singleShot(HandshakeTimeoutMs, &loop, [&] {
        if (failure.isEmpty())
            failure = QStringLiteral("no TLS handshake within %1 ms").arg(HandshakeTimeoutMs);
        loop.quit();
    });
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), listener.serverPort());
    loop.exec();
    if (server)
        server->disconnect();
    client.disconnect();
    client.abort();
    if (!serverDone || !clientDone) {
        *problem = failure.isEmpty() ? QStringLiteral("the TLS handshake failed") : failure;
        return false;
    }
    return true;
}

} // namespace

bool SiteSecurity::loadTls(const QString &certificatePath, const QString &keyPath,
                           HttpServerSetup *setup, QString *problem)
{
    if (!QSslSocket::supportsSsl()) {
        *problem = QStringLiteral("this system has no TLS library");
        return false;
    }
    QByteArray certificateBytes;
    QByteArray keyBytes;
    if (!readFile(certificatePath, &certificateBytes, problem)
        || !readFile(keyPath, &keyBytes, problem))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateBytes, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *problem = QStringLiteral("%1 holds no PEM certificate").arg(certificatePath);
        return false;
    }
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyBytes, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *problem = QStringLiteral("%1 holds no unencrypted PEM private key").arg(keyPath);
        return false;
    }
    HttpServerSetup candidate = *setup;
    candidate.secure = true;
    candidate.key = key;
    candidate.certificates = chain;
    QString failure;
    if (!handshake(candidate, &failure)) {
        *problem
            = QStringLiteral(
                  "%1 and %2 don't make a working pair (is the key the certificate's own?): %3")
                  .arg(certificatePath, keyPath, failure);
        return false;
    }
    *setup = candidate;
    return true;
}

SiteSecurity SiteSecurity::load(const QString &iniPath, const QString &appDir)
{
    SiteSecurity security;
    QSettings ini(iniPath, QSettings::IniFormat);
    security.allowedHosts = listValue(ini.value(QStringLiteral("Access/allowedHosts")));

    const QString address = ini.value(QStringLiteral("Access/listenAddress")).toString().trimmed();
    if (!address.isEmpty()) {
        const QHostAddress parsed(address);
        if (parsed.isNull()) {
            security.usable = false;
            security.problem
                = QStringLiteral("[Access] listenAddress %1 is not an IP address").arg(address);
            return security;
        }
        security.setup.listenAddress = parsed;
    }

    const QString certificate = ini.value(QStringLiteral("TLS/certificate")).toString().trimmed();
    const QString key = ini.value(QStringLiteral("TLS/key")).toString().trimmed();
    if (certificate.isEmpty() && key.isEmpty())
        return security;
    if (certificate.isEmpty() || key.isEmpty()) {
        security.usable = false;
        security.problem = QStringLiteral("[TLS] needs both certificate and key");
        return security;
    }
    security.certificatePath = absolute(certificate, appDir);
    if (!loadTls(security.certificatePath, absolute(key, appDir), &security.setup,
                 &security.problem)) {
        security.usable = false;
        return security;
    }
    for (const QSslCertificate &certificate : qAsConst(security.setup.certificates)) {
        const qint64 expiry = certificate.expiryDate().toMSecsSinceEpoch();
        if (security.certificateExpiryMs < 0 || expiry < security.certificateExpiryMs)
            security.certificateExpiryMs = expiry;
    }
    return security;
}
