#pragma once

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>

// The link to the Central server: a subscriber socket on which the Central server publishes to
// the services, and a push socket on which this service answers. It moves opaque buffers; the
// meaning of them belongs to CommandManager.
//
// start() runs the blocking receive loop and so must be invoked on a worker thread of its own;
// stop() and send() are called directly from the controlling thread while the loop runs.
class ZeroMQ : public QObject
{
    Q_OBJECT
public:
    explicit ZeroMQ(QObject *parent = nullptr);
    ~ZeroMQ() override;

    void setSubscription(const QString &endpoint, const QString &topic);
    void setPushEndpoint(const QString &endpoint);

    bool isRunning() const;

signals:
    void started();
    void topicMsgReceived(QByteArray topic, QByteArray msg);
    // A ZeroMQ failure other than the expected wake-ups; the transport is back to idle (or, for a
    // failed send, goes on running).
    void error(QString msg);

public slots:
    void start();
    void stop();
    void send(QByteArray buf);

private:
    struct Private;
    QSharedPointer<Private> d;
};
