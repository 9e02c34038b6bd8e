#pragma once

#include "fakehttpdevice.h"
#include "fakeioboard.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

// A camera and IO board in one, behind HTTP Digest authentication as IP cameras, DVRs and boards
// ship it (MD5 or MD5-sess, qop "auth"): /alarm.htm answers the page of board() (its update
// queries are recorded and answered with the page), any other GET a FakeCamera picture for its
// target. A request without a right Digest answer gets 401 with a challenge; Basic is never
// accepted. Each challenge hands out a new nonce, good for setNonceUses() answers, after which
// the next one gets 401 with stale=true and a new nonce. The answer is checked on its own (not with
// the service's code): user, realm, nonce, uri equal to the request target, a nonce count above the
// last one seen for that nonce, and the response digest.
class FakeDigestDevice : public FakeHttpDevice
{
    Q_OBJECT

public:
    FakeDigestDevice(const QString &user, const QString &password, QObject *parent = nullptr);
    ~FakeDigestDevice() override;

    QString url(const QString &target) const;
    // "MD5" (the default) or "MD5-sess".
    void setAlgorithm(const QByteArray &algorithm) { m_algorithm = algorithm; }
    void setNonceUses(int uses) { m_nonceLifetime = uses; }
    // The state its board page shows.
    FakeIoBoard &board() { return m_board; }

    int requestCount() const { return m_requests.size(); }
    // 401s sent, of them with stale=true; requests that carried Basic credentials.
    int challengeCount() const { return m_challenges; }
    int staleCount() const { return m_stale; }
    int basicCount() const;
    int picturesServed() const { return m_pictures; }
    int pagesServed() const { return m_pages; }
    QList<RequestHead> requests() const { return m_requests; }
    // Update queries received with a good answer, raw.
    QList<QByteArray> updates() const { return m_updates; }
    void resetCounts();

signals:
    void requestReceived();

protected:
    void handleHead(QTcpSocket *socket, const RequestHead &head) override;

private:
    enum class Verdict { Good, Stale, Refused };
    Verdict check(const RequestHead &head);
    QByteArray challenge(bool stale);
    QByteArray newNonce();

    QString m_user;
    QString m_password;
    QByteArray m_realm = "fake digest device";
    QByteArray m_opaque = "5ccc069c403ebaf9f0171e9517f40e41";
    QByteArray m_algorithm = "MD5";
    int m_nonceLifetime = 0;
    QByteArray m_nonce;
    // Every nonce handed out, with the highest nonce count seen for it and its good answers.
    QHash<QByteArray, quint32> m_nonceCounts;
    QHash<QByteArray, int> m_nonceUses;
    FakeIoBoard m_board;
    QList<RequestHead> m_requests;
    QList<QByteArray> m_updates;
    QHash<QByteArray, int> m_served;
    int m_challenges = 0;
    int m_stale = 0;
    int m_pictures = 0;
    int m_pages = 0;
};
