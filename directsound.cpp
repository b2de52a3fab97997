#include "directsound.h"
#include "wavefile.h"

DirectSound::DirectSound(QObject *parent)
    : QObject(parent)
    , loop("alarm sound")
    , context(nullptr)
    , stream(nullptr)
    , sampleFormat {}
    , written(0)
    , wanted(false)
    , connected(false)
    , playing(false)
{
}

DirectSound::~DirectSound()
{
    if (!loop.isStarted())
        return;
    loop.lock();
    endStream();
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    loop.unlock();
}

bool DirectSound::play(const QString &fileName)
{
    const WaveFile file(fileName);
    const QByteArray samples = file.samples();
    if (samples.isEmpty() || !loop.start())
        return false;
    loop.lock();
    endStream();
    pcm = samples;
    written = 0;
    sampleFormat.format = file.sampleBytes() == 1 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sampleFormat.rate = uint32_t(file.sampleRate());
    sampleFormat.channels = uint8_t(file.channelCount());
    wanted = true;
    playing = true;
    connectToServer();
    if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
        openStream();
    loop.unlock();
    return true;
}

void DirectSound::watchServer()
{
    if (!loop.start())
        return;
    loop.lock();
    connectToServer();
    loop.unlock();
}

void DirectSound::stop()
{
    if (!loop.isStarted())
        return;
    loop.lock();
    endStream();
    loop.unlock();
}

// Under the loop's lock: a connection that failed is made anew.
void DirectSound::connectToServer()
{
    if (context) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED)
            return;
        pa_context_unref(context);
        context = nullptr;
    }
    context = pa_context_new(loop.api(), "Alarm Clock");
    pa_context_set_state_callback(context, contextState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        pa_context_unref(context);
        context = nullptr;
        playing = false;
    }
}

void DirectSound::contextState(pa_context *context, void *self)
{
    auto *me = static_cast<DirectSound *>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        me->connected = true;
        if (me->wanted && !me->stream)
            me->openStream();
    } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        if (me->connected)
            QMetaObject::invokeMethod(
                me, [me] { emit me->serverLost(); }, Qt::QueuedConnection);
        me->connected = false;
        me->endStream();
    }
}

// The stream plays as the alarm, so phone policies route and rank it so.
void DirectSound::openStream()
{
    pa_proplist *properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "alarm");
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "Alarm");
    stream = pa_stream_new_with_proplist(context, "Alarm", &sampleFormat, nullptr, properties);
    pa_proplist_free(properties);
    if (!stream) {
        endStream();
        return;
    }
    pa_stream_set_state_callback(stream, streamState, this);
    pa_stream_set_write_callback(stream, streamWrite, this);
    if (pa_stream_connect_playback(stream, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr)
        < 0)
        endStream();
}

// Under the loop's lock.
void DirectSound::endStream()
{
    wanted = false;
    playing = false;
    if (!stream)
        return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

void DirectSound::streamState(pa_stream *stream, void *self)
{
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
        static_cast<DirectSound *>(self)->endStream();
}

void DirectSound::streamWrite(pa_stream *, size_t bytes, void *self)
{
    static_cast<DirectSound *>(self)->writeSome(bytes);
}

// Writes what the server asks for; once all is written, the play ends when
// the server has played it.
void DirectSound::writeSome(size_t bytes)
{
    const int left = pcm.size() - written;
    if (left <= 0)
        return;
    const int now = int(qMin(size_t(left), bytes));
    pa_stream_write(stream, pcm.constData() + written, size_t(now), nullptr, 0, PA_SEEK_RELATIVE);
    written += now;
    if (written == pcm.size()) {
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_operation *drain = pa_stream_drain(stream, drained, this);
        if (drain)
            pa_operation_unref(drain);
        else
            endStream();
    }
}

void DirectSound::drained(pa_stream *stream, int, void *self)
{
    auto *me = static_cast<DirectSound *>(self);
    if (stream == me->stream)
        me->endStream();
}
