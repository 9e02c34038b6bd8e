#pragma once

#include "fakeipcpeer.h"

#include <QPair>

// A streamer process as the service sees it: announces itself with "reset" (optionally carrying
// a version), collects the "url" messages up to "streaming", and stops talking on "kill".
class FakeStreamer : public FakeIpcPeer
{
    Q_OBJECT
public:
    FakeStreamer(const QString &endpoint, const QString &identity, QObject *parent = nullptr);

    // Sent with every "reset" as its two extra fields; none when name is empty.
    void setVersion(const QString &name, const QString &value);

    // Connects and says "reset".
    bool connectToMaster() override;
    void sendReset();

    // (URL, channel name) pairs since the last "reset", in order.
    QList<QPair<QString, QString>> channels() const { return m_channels; }
    bool isStreaming() const { return m_streaming; }
    bool wasKilled() const { return m_killed; }

signals:
    void streamingStarted();
    void killed();

protected:
    void handleMessage(const QStringList &fields) override;

private:
    QString m_versionName;
    QString m_versionValue;
    QList<QPair<QString, QString>> m_channels;
    bool m_streaming = false;
    bool m_killed = false;
};
