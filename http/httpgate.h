#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class QtHttpRequest;

// What a gate decided about one request.
struct HttpGateDecision
{
    // 0 lets the request through to the handlers; any other value is the status of the refusal,
    // which is answered with `body` and no handler ever sees the request.
    int status = 0;
    QByteArray body;
    // Added to the answer: the refusal's, or the handler's reply when the request is let through.
    QList<QPair<QByteArray, QByteArray>> headers;
    // Who the request was admitted for; the connection is closed when the gate revokes it.
    QString identity;

    bool admitted() const { return status == 0; }
};

// Decides on every complete request of a server before any handler runs: who may see what and
// do what is one rule for every port, asked in one place.
class HttpGate : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const HttpGateDecision &)>;

    using QObject::QObject;

    // Calls `done` exactly once, either before returning or later on this thread (a decision
    // may need work that must not hold up the event loop). `operate` tells that the request
    // changes something in the world (a door output), not only reads.
    virtual void admit(const QtHttpRequest &request, bool operate, const Done &done) = 0;

signals:
    // Connections admitted for these identities must end now.
    void revoked(const QStringList &identities);
};
