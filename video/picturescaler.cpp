#include "picturescaler.h"

#include "jpegscaling.h"

#include <QPointer>
#include <QRunnable>
#include <QThread>

#include <ctime>

namespace {

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

PictureScaler::PictureScaler(QObject *parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
}

PictureScaler::~PictureScaler()
{
    m_pool.clear();
    // The jobs post their results to this object; none may be left running once it goes.
    m_pool.waitForDone();
}

void PictureScaler::request(const ChannelKey &key, int denominator, quint64 sequence,
                            int sourceWidth, const QByteArray &picture)
{
    const SlotKey slotKey(key, denominator);
    auto it = m_slots.find(slotKey);
    Job job{sequence, sourceWidth, picture};
    if (it == m_slots.end()) {
        Slot slot;
        slot.running = sequence;
        m_slots.insert(slotKey, slot);
        run(key, denominator, job);
        return;
    }
    Slot &slot = it.value();
    if (slot.running == sequence || (slot.hasWaiting && slot.waiting.sequence == sequence))
        return;
    if (slot.hasWaiting)
        ++m_replaced;
    slot.hasWaiting = true;
    slot.waiting = job;
}

void PictureScaler::run(const ChannelKey &key, int denominator, const Job &job)
{
    m_pool.start(QRunnable::create([this, key, denominator, job] {
        ScaledPicture picture;
        picture.key = key;
        picture.denominator = denominator;
        picture.sequence = job.sequence;
        picture.sourceWidth = job.sourceWidth;
        picture.original = job.picture;
        const double start = threadCpuSeconds();
        JpegScaling::Result result = JpegScaling::scale(job.picture, denominator);
        picture.cpuSeconds = threadCpuSeconds() - start;
        picture.ok = result.ok;
        picture.jpeg = std::move(result.jpeg);
        picture.error = result.error;
        // The destructor waits for this job, so the scaler is still there to post to.
        QMetaObject::invokeMethod(
            this, [this, picture] { finished(picture); }, Qt::QueuedConnection);
    }));
}

void PictureScaler::finished(const ScaledPicture &picture)
{
    const SlotKey slotKey(picture.key, picture.denominator);
    auto it = m_slots.find(slotKey);
    if (it != m_slots.end()) {
        Slot &slot = it.value();
        if (slot.hasWaiting) {
            const Job next = slot.waiting;
            slot.hasWaiting = false;
            slot.waiting = Job();
            slot.running = next.sequence;
            run(picture.key, picture.denominator, next);
        } else {
            m_slots.erase(it);
        }
    }
    emit scaled(picture);
}
