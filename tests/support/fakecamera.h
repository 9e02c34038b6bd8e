#pragma once

#include "fakehttpdevice.h"
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

// A camera or DVR on loopback that serves JPEG snapshots over plain HTTP/1.1 (persistent
// connections), checks Basic authentication, counts what it is asked, and can fail, hang, answer
// late or send oversized bodies on demand.
//
// Every GET is answered with a picture made for its target (path and query) and a per-target
// sequence number, so tests can tell channels and successive pictures apart; setPicture() fixes
// the body for a target instead.
class FakeCamera : public FakeHttpDevice
{
    Q_OBJECT

public:
    enum class Behaviour {
        Serve, // 200 with a picture
        FailStatus, // the status set with setFailStatus(), empty body
        Drop, // close the connection without an answer
        Hang, // keep the connection open and never answer
    };

    using Request = RequestHead;

    explicit FakeCamera(QObject *parent = nullptr);
    ~FakeCamera() override;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    QString url(const QString &target) const;
    // Stops accepting and drops every connection (a camera switched off).
    void close() { closeAll(); }

    // Requests must then carry exactly these Basic credentials, or are answered 401.
    void requireCredentials(const QString &user, const QString &password);
    void acceptAnyone() { m_requireAuth = false; }

    void setBehaviour(Behaviour behaviour) { m_behaviour = behaviour; }
    void setFailStatus(int status) { m_failStatus = status; }
    // Answers only this long after the request arrived.
    void setResponseDelay(int ms) { m_delayMs = ms; }
    // Size of the generated pictures (at least big enough for their marker).
    void setPictureSize(int bytes) { m_pictureSize = bytes; }
    void setPicture(const QByteArray &target, const QByteArray &body) { m_fixed[target] = body; }
    // Makes the body of every answer not fixed by setPicture() (a live camera).
    void setPictureProvider(std::function<QByteArray(const QByteArray &target)> provider)
    {
        m_pictureProvider = std::move(provider);
    }

    // The picture served as the `sequence`-th (from 1) answer for `target`.
    static QByteArray makePicture(const QByteArray &target, int sequence, int size = 0);
    // The target and sequence a picture was made for; empty and 0 for other bytes.
    static QByteArray pictureTarget(const QByteArray &picture);
    static int pictureSequence(const QByteArray &picture);

    int requestCount() const { return m_requests.size(); }
    int requestCount(const QByteArray &target) const;
    int servedCount(const QByteArray &target) const { return m_served.value(target); }
    QList<Request> requests() const { return m_requests; }
    Request lastRequest() const { return m_requests.isEmpty() ? Request() : m_requests.last(); }
    // The most requests that were ever waiting for their answer at once (delayed or hung).
    int maxOutstanding() const { return m_maxOutstanding; }
    void resetCounts();

signals:
    void requestReceived(const QByteArray &target);

protected:
    void handleHead(QTcpSocket *socket, const RequestHead &head) override;

private:
    void answer(QTcpSocket *socket, const Request &request);
    QByteArray response(const Request &request);

    QList<Request> m_requests;
    QHash<QByteArray, int> m_served;
    QHash<QByteArray, QByteArray> m_fixed;
    std::function<QByteArray(const QByteArray &target)> m_pictureProvider;
    bool m_requireAuth = false;
    QByteArray m_expectedAuthorization;
    Behaviour m_behaviour = Behaviour::Serve;
    int m_failStatus = 500;
    int m_delayMs = 0;
    int m_pictureSize = 0;
    int m_outstanding = 0;
    int m_maxOutstanding = 0;
};
