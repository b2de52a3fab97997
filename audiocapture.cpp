#include "audiocapture.h"
#include "ownsound.h"

#include <QAbstractEventDispatcher>
#include <QAudioDeviceInfo>
#include <QIODevice>
#include <QTimer>

namespace {

// Chunks that were never taken, should the capture thread never be seen
// going to sleep, go this much later than their patience.
const int lateMs = 250;
// How much sound the server gathers before it hands it over: what
// the toolkit's input asks for, short enough for a clap to be heard at once.
const int fragmentMs = 50;

pa_sample_format_t sampleFormatOf(const QAudioFormat &format)
{
    const bool little = format.byteOrder() == QAudioFormat::LittleEndian;
    switch (format.sampleSize()) {
    case 8:
        return PA_SAMPLE_U8;
    case 32:
        if (format.sampleType() == QAudioFormat::Float)
            return little ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_FLOAT32BE;
        return little ? PA_SAMPLE_S32LE : PA_SAMPLE_S32BE;
    default:
        return little ? PA_SAMPLE_S16LE : PA_SAMPLE_S16BE;
    }
}

} // namespace

AudioCapture::AudioCapture(QObject *parent)
    : QObject(parent)
    , worker(new QObject)
    , loop("capture")
    , context(nullptr)
    , stream(nullptr)
    , sampleFormat {}
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
    , openings(0)
{
    qRegisterMetaType<QAudioFormat>();
    thread.setObjectName(QStringLiteral("audio devices"));
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
    thread.quit();
    thread.wait();
    if (!loop.isStarted())
        return;
    loop.lock();
    endCapture();
    loop.unlock();
}

void AudioCapture::findDevice(const QAudioFormat &requested)
{
    QMetaObject::invokeMethod(worker, [this, requested] {
        const QAudioDeviceInfo device = QAudioDeviceInfo::defaultInputDevice();
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
    bytesPerSecond = format.bytesForDuration(1000000);
    sampleFormat.format = sampleFormatOf(format);
    sampleFormat.rate = uint32_t(format.sampleRate());
    sampleFormat.channels = uint8_t(format.channelCount());
    open();
}

// Each opening makes its own connection: one left by a server that went
// away can never be used again.
void AudioCapture::open()
{
    if (!running)
        return;
    reopened = lost;
    if (!loop.start()) {
        streamLost();
        return;
    }
    loop.lock();
    if (!context) {
        ++openings;
        context = pa_context_new(loop.api(), "Alarm Clock");
        pa_context_set_state_callback(context, contextState, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            postLost();
    }
    loop.unlock();
}

void AudioCapture::contextState(pa_context *context, void *self)
{
    auto *me = static_cast<AudioCapture *>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY && !me->stream)
        me->openStream();
    else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
        me->postLost();
}

void AudioCapture::openStream()
{
    stream = pa_stream_new(context, "Microphone", &sampleFormat, nullptr);
    if (!stream) {
        postLost();
        return;
    }
    pa_stream_set_state_callback(stream, streamState, this);
    pa_stream_set_read_callback(stream, streamRead, this);
    pa_buffer_attr attributes;
    attributes.maxlength = uint32_t(-1);
    attributes.fragsize = uint32_t(pa_usec_to_bytes(fragmentMs * PA_USEC_PER_MSEC, &sampleFormat));
    attributes.tlength = attributes.prebuf = attributes.minreq = uint32_t(-1);
    if (pa_stream_connect_record(stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY) < 0)
        postLost();
}

void AudioCapture::streamState(pa_stream *stream, void *self)
{
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
        static_cast<AudioCapture *>(self)->postLost();
}

void AudioCapture::streamRead(pa_stream *, size_t, void *self)
{
    static_cast<AudioCapture *>(self)->readAll();
}

// All the server holds for now, chunk by chunk, as one burst.
void AudioCapture::readAll()
{
    while (pa_stream_readable_size(stream) > 0) {
        const void *data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0)
            break;
        if (bytes == 0)
            break;
        // A hole in the stream is dropped: the meter needs no silence made up.
        if (data)
            gather(static_cast<const char *>(data), qint64(bytes));
        pa_stream_drop(stream);
    }
    burstEnded();
}

// The stream ends on the owner's thread, which then tries again; word from
// an opening that has been closed since comes too late to count.
void AudioCapture::postLost()
{
    const int opened = openings;
    QMetaObject::invokeMethod(
        this,
        [this, opened] {
            if (opened == openings)
                streamLost();
        },
        Qt::QueuedConnection);
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

// The stream and its connection end; what they left behind goes with them.
void AudioCapture::closeInput()
{
    if (loop.isStarted()) {
        loop.lock();
        endCapture();
        loop.unlock();
    }
    QMutexLocker locker(&gatheredLock);
    gathered = Burst();
    anyGathered.storeRelaxed(0);
    wakeAsked = false;
}

// Under the loop's lock; nothing of the old stream is called back after it.
void AudioCapture::endCapture()
{
    if (stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    if (context) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
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
