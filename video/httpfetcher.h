#pragma once

#include "digestauth.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

class QNetworkReply;
class QUrl;

// GETs one device URL at a time with Basic authentication and collects the body in a buffer that
// the caller reads in its fetched() handler. Used for camera snapshots and IO board pages.
//
// A device that answers 401 with a Digest challenge gets the request again with the answer, and
// from then on every request carries a Digest answer for the device's nonce (the next nonce
// count), so a picture still costs one request. A fetch answers at most one challenge, and one
// more only when the device said its nonce had gone stale: wrong credentials end it with the
// 401's error, as for Basic.
//
// Devices on a site network do hang and do misbehave: every request is bounded in time and in
// body size, and going past either bound ends it through error(msg) like any other failure.
class HTTPFetcher : public QObject
{
    Q_OBJECT

public:
    // A hung device must not freeze its caller's poll chain for good.
    static constexpr int DefaultTimeoutMs = 10000;
    // Far above any snapshot or board page; a device streaming endlessly would otherwise grow the
    // buffer until the process dies.
    static constexpr qint64 DefaultMaxBodySize = 16 * 1024 * 1024;

    explicit HTTPFetcher(QObject *parent = nullptr);
    ~HTTPFetcher() override;

    void setCredentials(const QString &user, const QString &password);
    void setUrl(const QString &url);
    QString url() const { return m_url; }

    // Applies to requests started afterwards.
    void setTimeout(int ms) { m_timeoutMs = ms; }
    int timeout() const { return m_timeoutMs; }
    void setMaxBodySize(qint64 bytes) { m_maxBodySize = bytes; }
    qint64 maxBodySize() const { return m_maxBodySize; }

    void fetch();
    QByteArray &data() { return m_data; }
    void abortAll();

    int pendingCount() const { return m_pending.size(); }

    // The value of the Basic Authorization header for these credentials; empty when none is sent.
    static QByteArray authorizationHeader(const QString &user, const QString &password);
    // The request target as the network stack writes it on the request line, which a Digest
    // answer must name.
    static QByteArray requestTarget(const QUrl &url);
    // Whether the device has asked for Digest (requests then carry it without being asked).
    bool usesDigest() const { return m_digest.isActive(); }

signals:
    void fetched();
    void error(QString msg);

private slots:
    void httpReadyRead();
    void httpFinished();

private:
    // `answered`: the challenges this fetch has answered so far; `deadlineMs`: when the whole
    // fetch times out (QDeadlineTimer's clock), 0 for none.
    void startRequest(int answered, qint64 deadlineMs);
    bool answerChallenge(QNetworkReply *reply);
    void onRequestTimedOut(QNetworkReply *reply);

    QString m_user;
    QString m_password;
    QString m_url;
    QNetworkAccessManager m_manager;
    QByteArray m_data;
    QList<QNetworkReply *> m_pending;
    DigestAuth m_digest;
    int m_timeoutMs = DefaultTimeoutMs;
    qint64 m_maxBodySize = DefaultMaxBodySize;
};
