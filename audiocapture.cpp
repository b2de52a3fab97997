#include "audiocapture.h"
#include "ownsound.h"

#include <QAbstractEventDispatcher>
#include <QAudioDeviceInfo>
#include <QAudioInput>
#include <QIODevice>
#include <QTimer>

namespace {

// Chunks that were never taken, should the capture thread never be seen
// going to sleep, go this much later than their patience.
const int lateMs = 250;

} // namespace

// What the toolkit's audio input writes to, on the capture thread. The
// input hands over what the sound server has gathered in a burst of writes,
// one per block, while it holds the sound server's lock: each write only
// adds the block to one buffer, with its size beside it.
class Gatherer : public QIODevice {
public:
    explicit Gatherer(AudioCapture *capture)
        : capture(capture)
    {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *data, qint64 len) override
    {
        capture->gather(data, len);
        return len;
    }

private:
    AudioCapture *capture;
};

AudioCapture::AudioCapture(QObject *parent)
    : QObject(parent)
    , worker(new QObject)
    , input(nullptr)
    , bytesPerSecond(0)
    , currentChunkTime(-1)
    , patienceMs(0)
    , firstGathered(0)
    , lastTaken(0)
    , wakeAsked(false)
    , delivering(false)
    , running(false)
    , lost(false)
    , reopened(false)
    , retry(new QTimer(this))
    , retryMs(0)
{
    qRegisterMetaType<QAudioFormat>();
    thread.setObjectName(QStringLiteral("capture"));
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &AudioCapture::takeGathered);
    retry->setSingleShot(true);
    connect(retry, &QTimer::timeout, this, &AudioCapture::open);
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
    if (running)
        return;
    running = true;
    this->format = format;
    bytesPerSecond = format.bytesForDuration(1000000);
    open();
}

void AudioCapture::open()
{
    if (!running)
        return;
    reopened = lost;
    const QAudioFormat format = this->format;
    QMetaObject::invokeMethod(worker, [this, format] {
        if (input)
            return;
        input = new QAudioInput(device, format, worker);
        // The input's child, so that it goes only once the input has
        // closed its stream and can write no more.
        auto *gatherer = new Gatherer(this);
        gatherer->setParent(input);
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
            gatherer, [this] { burstEnded(); });
        // An input that cannot open says so at once; one the sound server
        // drops later stops with an error.
        connect(input, &QAudioInput::stateChanged, gatherer, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && input && input->error() != QAudio::NoError)
                QMetaObject::invokeMethod(this, &AudioCapture::streamLost, Qt::QueuedConnection);
        });
        input->start(gatherer);
        if (input->error() != QAudio::NoError)
            QMetaObject::invokeMethod(this, &AudioCapture::streamLost, Qt::QueuedConnection);
    });
}

// Tried again 1 s after the loss, and then twice as long after each try,
// up to the longest wait.
void AudioCapture::streamLost()
{
    if (!running || retry->isActive())
        return;
    if (!lost) {
        lost = true;
        qWarning("The microphone was lost: stop by sound is unavailable until it is back");
    }
    retryMs = qBound(1000, retryMs * 2, int(longestRetryMs));
    retry->start(retryMs);
    closeInput();
}

void AudioCapture::reopenIfLost()
{
    if (lost && running && retry->isActive()) {
        retry->stop();
        open();
    }
}

void AudioCapture::stop()
{
    if (!running)
        return;
    running = false;
    retry->stop();
    closeInput();
}

// The input goes on its own thread, and what it left behind goes with it.
void AudioCapture::closeInput()
{
    QMetaObject::invokeMethod(worker, [this] {
        delete input;
        input = nullptr;
        QMutexLocker locker(&gatheredLock);
        gathered = Burst();
        anyGathered.storeRelaxed(0);
        wakeAsked = false;
    });
}

void AudioCapture::gather(const char *data, qint64 len)
{
    const qint64 now = OwnSound::now();
    QMutexLocker locker(&gatheredLock);
    if (gathered.sizes.isEmpty())
        firstGathered = now;
    gathered.arrived = now;
    gathered.bytes.append(data, int(len));
    gathered.sizes.append(int(len));
    anyGathered.storeRelease(1);
    // Should the thread never be seen going to sleep, the chunks still go,
    // late, rather than never.
    if (!wakeAsked && now - firstGathered > (patience() + lateMs) * qint64(1000))
        askToTake();
}

// The owner's thread is woken only for chunks that have waited long enough
// for it since it last took some.
void AudioCapture::burstEnded()
{
    QMutexLocker locker(&gatheredLock);
    if (wakeAsked || gathered.sizes.isEmpty()
        || gathered.arrived - lastTaken < patience() * qint64(1000))
        return;
    askToTake();
}

// Under the lock, on the capture thread.
void AudioCapture::askToTake()
{
    wakeAsked = true;
    QMetaObject::invokeMethod(this, &AudioCapture::takeGathered, Qt::QueuedConnection);
}

// Runs at every wake-up of the owner's thread, whatever woke it; not again
// within a delivery, which would put later chunks before earlier ones.
void AudioCapture::takeGathered()
{
    if (delivering || !anyGathered.loadAcquire())
        return;
    Burst burst;
    {
        QMutexLocker locker(&gatheredLock);
        burst = std::move(gathered);
        gathered = Burst();
        // Room for as much again, so that the capture thread does not
        // allocate while it holds the sound server's lock.
        gathered.bytes.reserve(burst.bytes.size());
        gathered.sizes.reserve(burst.sizes.size());
        anyGathered.storeRelaxed(0);
        wakeAsked = false;
        lastTaken = OwnSound::now();
    }
    if (lost && reopened) {
        lost = false;
        reopened = false;
        retryMs = 0;
        qWarning("The microphone is back");
    }
    delivering = true;
    deliver(burst);
    delivering = false;
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
