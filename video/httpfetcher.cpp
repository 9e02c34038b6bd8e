#include "httpfetcher.h"

#include <QDeadlineTimer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
// Why a reply was aborted by the fetcher itself, kept on the reply so that httpFinished() can
// report the real cause instead of the network stack's "Operation canceled".
const char *const AbortReasonProperty = "veltraAbortReason";
// How many challenges the fetch of this reply has answered, and when the fetch times out.
const char *const AnsweredProperty = "veltraChallengesAnswered";
const char *const DeadlineProperty = "veltraDeadline";
// A fetch answers one challenge, and one more only for a nonce gone stale.
const int MaxAnswers = 2;
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
    if (user != m_user || password != m_password)
        m_digest.reset();
    m_user = user;
    m_password = password;
}

void HTTPFetcher::setUrl(const QString &url)
{
    // A Digest session belongs to one device.
    if (QUrl(url, QUrl::TolerantMode).authority() != QUrl(m_url, QUrl::TolerantMode).authority())
        m_digest.reset();
    m_url = url;
}

QByteArray HTTPFetcher::authorizationHeader(const QString &user, const QString &password)
{
    if (user.isEmpty() && password.isEmpty())
        return QByteArray();
    return "Basic " + QString(user + QLatin1Char(':') + password).toLocal8Bit().toBase64();
}

QByteArray HTTPFetcher::requestTarget(const QUrl &url)
{
    // As QHttpNetworkRequest::uri() makes it for a request not sent through a proxy.
    QUrl::FormattingOptions format(QUrl::RemoveFragment | QUrl::RemoveUserInfo | QUrl::FullyEncoded
                                   | QUrl::RemoveScheme | QUrl::RemoveAuthority);
    QUrl copy = url;
    if (copy.path().isEmpty())
        copy.setPath(QStringLiteral("/"));
    else
        format |= QUrl::NormalizePathSegments;
    return copy.toEncoded(format);
}

void HTTPFetcher::fetch()
{
    startRequest(0, m_timeoutMs > 0 ? QDeadlineTimer(m_timeoutMs).deadline() : 0);
}

void HTTPFetcher::startRequest(int answered, qint64 deadlineMs)
{
    const QUrl url(m_url, QUrl::TolerantMode);
    QNetworkRequest request(url);
    const QByteArray authorization = m_digest.isActive()
        ? m_digest.nextAuthorization(m_user.toUtf8(), m_password.toUtf8(), "GET",
                                     requestTarget(url))
        : authorizationHeader(m_user, m_password);
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    request.setRawHeader("Cache-Control", "no-cache");

    m_data.clear();

    QNetworkReply *reply = m_manager.get(request);
    reply->setProperty(AnsweredProperty, answered);
    reply->setProperty(DeadlineProperty, deadlineMs);
    connect(reply, &QNetworkReply::readyRead, this, &HTTPFetcher::httpReadyRead);
    connect(reply, &QNetworkReply::finished, this, &HTTPFetcher::httpFinished);
    m_pending.append(reply);

    if (deadlineMs > 0) {
        // A child of the reply, so it goes with the reply whichever way the request ends.
        auto *timer = new QTimer(reply);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, reply] { onRequestTimedOut(reply); });
        QDeadlineTimer deadline;
        deadline.setDeadline(deadlineMs);
        timer->start(int(qMax<qint64>(0, deadline.remainingTime())));
    }
}

bool HTTPFetcher::answerChallenge(QNetworkReply *reply)
{
    if (m_user.isEmpty() && m_password.isEmpty())
        return false;
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 401)
        return false;
    const int answered = reply->property(AnsweredProperty).toInt();
    const DigestAuth::Challenge challenge
        = DigestAuth::parseChallenge(reply->rawHeader("WWW-Authenticate"));
    if (!challenge.valid || answered >= MaxAnswers || (answered > 0 && !challenge.stale))
        return false;
    m_digest.setChallenge(challenge);
    startRequest(answered + 1, reply->property(DeadlineProperty).toLongLong());
    return true;
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
    } else if (reply->error() != QNetworkReply::NoError && answerChallenge(reply)) {
        return;
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
