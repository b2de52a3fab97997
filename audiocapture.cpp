#include "audiocapture.h"
#include "ownsound.h"

#include <QAbstractEventDispatcher>
#include <QAudioDeviceInfo>
#include <QAudioInput>
#include <QIODevice>

namespace {

using Burst = AudioCapture::Burst;

// What the toolkit's audio input writes to, on the capture thread. The
// input hands over what the sound server has gathered in a burst of writes,
// one per block, and the thread then goes back to sleep: that is when the
// blocks gathered so far go to the window's thread as one event, in one
// buffer with the block sizes beside it, unless they may wait for the next
// burst. So the window wakes at most as often as the input itself does, and
// nothing is allocated per block.
class Forwarder : public QIODevice {
public:
    Forwarder(std::function<void(const Burst &)> deliver, const QAtomicInt &patienceMs)
        : deliver(std::move(deliver))
        , patienceMs(patienceMs)
    {
        open(QIODevice::WriteOnly);
    }

    // The input has written all it had for now.
    void burstEnded()
    {
        if (!pending.sizes.isEmpty() && pending.arrived - lastDelivery >= patience())
            handOver();
    }

protected:
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *data, qint64 len) override
    {
        pending.arrived = OwnSound::now();
        if (pending.sizes.isEmpty())
            firstPending = pending.arrived;
        pending.bytes.append(data, int(len));
        pending.sizes.append(int(len));
        // Should the thread never be seen going to sleep, the chunks still
        // go, a little late, rather than never.
        if (pending.arrived - firstPending > patience() + lateMs * 1000)
            handOver();
        return len;
    }

private:
    static const int lateMs = 250;

    qint64 patience() const { return qint64(patienceMs.loadRelaxed()) * 1000; }
    void handOver()
    {
        lastDelivery = pending.arrived;
        deliver(pending);
        pending.bytes.clear();
        pending.sizes.clear();
    }

    std::function<void(const Burst &)> deliver;
    const QAtomicInt &patienceMs;
    Burst pending;
    qint64 firstPending = 0;
    qint64 lastDelivery = 0;
};

} // namespace

AudioCapture::AudioCapture(QObject *parent)
    : QObject(parent)
    , worker(new QObject)
    , bytesPerSecond(0)
    , currentChunkTime(-1)
    , patienceMs(0)
{
    qRegisterMetaType<QAudioFormat>();
    thread.setObjectName(QStringLiteral("capture"));
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
}

AudioCapture::~AudioCapture()
{
    // The audio input goes with the worker, on its own thread.
    thread.quit();
    thread.wait();
}

void AudioCapture::findDevice(const QAudioFormat &requested)
{
    QMetaObject::invokeMethod(worker, [this, requested] {
        device = QAudioDeviceInfo::defaultInputDevice();
        const bool supported = device.isFormatSupported(requested);
        const QAudioFormat format = supported ? requested : device.nearestFormat(requested);
        emit formatChosen(format, !supported);
    });
}

void AudioCapture::setSink(QIODevice *device)
{
    sink = device;
}

void AudioCapture::start(const QAudioFormat &format)
{
    bytesPerSecond = format.bytesForDuration(1000000);
    QMetaObject::invokeMethod(worker, [this, format] {
        auto *forwarder = new Forwarder(
            [this](const Burst &burst) {
                QMetaObject::invokeMethod(
                    this, [this, burst] { deliver(burst); }, Qt::QueuedConnection);
            },
            patienceMs);
        forwarder->setParent(worker);
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
            forwarder, [forwarder] { forwarder->burstEnded(); });
        auto *input = new QAudioInput(device, format, worker);
        input->start(forwarder);
    });
}

// The last sample of a burst was captured about when the burst arrived;
// each chunk before it, as much earlier as the sound after it lasts.
void AudioCapture::deliver(const Burst &burst)
{
    const qint64 arrived = burst.arrived;
    qint64 after = burst.bytes.size();
    const char *chunk = burst.bytes.constData();
    for (const int size : burst.sizes) {
        // The sink may go while chunks are on their way.
        if (!sink)
            break;
        after -= size;
        currentChunkTime
            = bytesPerSecond > 0 ? arrived - after * 1000000 / bytesPerSecond : arrived;
        sink->write(chunk, size);
        chunk += size;
    }
    currentChunkTime = -1;
    emit delivered();
}
