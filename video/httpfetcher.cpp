#include "httpfetcher.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
// Why a reply was aborted by the fetcher itself, kept on the reply so that httpFinished() can
// report the real cause instead of the network stack's "Operation canceled".
const char *const AbortReasonProperty = "veltraAbortReason";
} // namespace

HTTPFetcher::HTTPFetcher(QObject *parent)
    : QObject(parent)
{ }

HTTPFetcher::~HTTPFetcher()
{
    // The manager deletes the outstanding replies after this body has run; they must not call
    // back into a half-destroyed fetcher.
    for (QNetworkReply *reply : qAsConst(m_pending))
        reply->disconnect(this);
}

void HTTPFetcher::setCredentials(const QString &user, const QString &password)
{
    m_user = user;
    m_password = password;
}

void HTTPFetcher::setUrl(const QString &url)
{
    m_url = url;
}

QByteArray HTTPFetcher::authorizationHeader(const QString &user, const QString &password)
{
    if (user.isEmpty() && password.isEmpty())
        return QByteArray();
    return "Basic " + QString(user + QLatin1Char(':') + password).toLocal8Bit().toBase64();
}

void HTTPFetcher::fetch()
{
    QNetworkRequest request(QUrl(m_url, QUrl::TolerantMode));
    const QByteArray authorization = authorizationHeader(m_user, m_password);
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    request.setRawHeader("Cache-Control", "no-cache");

    m_data.clear();

    QNetworkReply *reply = m_manager.get(request);
    connect(reply, &QNetworkReply::readyRead, this, &HTTPFetcher::httpReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HTTPFetcher::httpFinished);
    m_pending.append(reply);

    if (m_timeoutMs > 0) {
        // A child of the reply, so it goes with the reply whichever way the request ends.
        auto *timer = new QTimer(reply);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, reply] { onRequestTimedOut(reply); });
        timer->start(m_timeoutMs);
    }
}

void HTTPFetcher::onRequestTimedOut(QNetworkReply *reply)
{
    if (!m_pending.contains(reply) || reply->isFinished())
        return;
    reply->setProperty(AbortReasonProperty,
                       QStringLiteral("Request timed out after %1 ms").arg(m_timeoutMs));
    reply->abort();
}

void HTTPFetcher::httpReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const qint64 available = reply->bytesAvailable();
    if (m_data.size() + available > m_maxBodySize) {
        reply->setProperty(AbortReasonProperty,
                           QStringLiteral("Response body larger than %1 bytes").arg(m_maxBodySize));
        reply->abort();
        return;
    }
    m_data.append(reply->readAll());
}

void HTTPFetcher::httpFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    // Only once per reply, even if the stack were to report it again.
    if (!m_pending.removeOne(reply))
        return;
    reply->disconnect(this);
    reply->deleteLater();

    const QVariant reason = reply->property(AbortReasonProperty);
    if (reason.isValid()) {
        emit error(reason.toString());
    } else if (reply->error() != QNetworkReply::NoError) {
        emit error(reply->errorString());
    } else {
        emit fetched();
    }
}

void HTTPFetcher::abortAll()
{
    const QList<QNetworkReply *> snapshot = m_pending;
    for (QNetworkReply *reply : snapshot) {
        if (m_pending.contains(reply))
            reply->abort();
    }
    // The stack normally reports the cancellation from inside abort(); a reply it has not
    // reported yet is forgotten here and must not call back later.
    for (QNetworkReply *reply : qAsConst(m_pending)) {
        reply->disconnect(this);
        reply->deleteLater();
    }
    m_pending.clear();
}
