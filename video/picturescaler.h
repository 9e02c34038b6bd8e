#pragma once

#include "videorelay.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>

// One picture scaled, as handed back to the relay.
struct ScaledPicture
{
    ChannelKey key;
    int denominator = 1;
    // The channel's count of the picture it was made from.
    quint64 sequence = 0;
    int sourceWidth = 0;
    QByteArray original;
    // The smaller picture when ok; otherwise `error` says why the original must do.
    bool ok = false;
    QByteArray jpeg;
    QString error;
    // What the scaling cost the worker thread.
    double cpuSeconds = 0;
};

// Scales the relay's pictures on worker threads, so that a large picture or a busy moment never
// holds up the event loop and with it every other channel. Per channel and size one picture is
// scaled at a time; a picture that comes while one is being scaled waits, and a newer one takes
// its place, so a scale slower than the camera drops pictures instead of queuing them.
//
// Results come back on the thread that owns the scaler, through scaled(), in the order the
// pictures of one channel and size were asked for.
class PictureScaler : public QObject
{
    Q_OBJECT

public:
    explicit PictureScaler(QObject *parent = nullptr);
    // Waits for the scales under way; their results are dropped.
    ~PictureScaler() override;

    // Asks for `picture`, the channel's `sequence`-th, at 1/denominator. A picture of that
    // sequence already being scaled or waiting for this size is not scaled twice.
    void request(const ChannelKey &key, int denominator, quint64 sequence, int sourceWidth,
                 const QByteArray &picture);

    // Scales under way or waiting, for tests.
    int busyCount() const { return m_slots.size(); }
    // Pictures that waited and were replaced by a newer one before their turn.
    quint64 replacedCount() const { return m_replaced; }

signals:
    void scaled(const ScaledPicture &picture);

private:
    struct Job
    {
        quint64 sequence = 0;
        int sourceWidth = 0;
        QByteArray picture;
    };
    struct Slot
    {
        quint64 running = 0;
        bool hasWaiting = false;
        Job waiting;
    };
    using SlotKey = QPair<ChannelKey, int>;

    void run(const ChannelKey &key, int denominator, const Job &job);
    void finished(const ScaledPicture &picture);

    QThreadPool m_pool;
    QHash<SlotKey, Slot> m_slots;
    quint64 m_replaced = 0;
};
