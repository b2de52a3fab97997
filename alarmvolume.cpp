#include "alarmvolume.h"

#include "ownfile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <unistd.h>

namespace {

const pa_volume_t alarmVolume = pa_volume_t(AlarmVolume::alarmShare * PA_VOLUME_NORM);

void drop(pa_operation *operation)
{
    if (operation)
        pa_operation_unref(operation);
}

// Headphones, a headset or a Bluetooth device: heard by whoever wears it,
// if anybody does.
bool isWorn(const pa_sink_info *info)
{
    const char *form = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_FORM_FACTOR);
    const char *bus = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_BUS);
    const std::string formFactor = form ? form : "";
    return formFactor == "headphone" || formFactor == "headset" || formFactor == "hands-free"
        || (bus && std::string(bus) == "bluetooth");
}

// A stream of this program: the sound server is told the process id by
// libpulse itself.
bool ours(const pa_sink_input_info *info)
{
    const char *pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return pid && std::to_string(getpid()) == pid;
}

int percent(pa_volume_t volume)
{
    return qRound(100.0 * volume / PA_VOLUME_NORM);
}

} // namespace

AlarmVolume::AlarmVolume(const QString &fileName, QObject *parent)
    : QObject(parent)
    , fileName(fileName)
    , loop(nullptr)
    , context(nullptr)
    , retry(new QTimer(this))
    , retryMs(firstRetryMs)
    , wanted(false)
    , restoring(false)
    , givingBack(false)
    , raised(false)
    , pending(0)
    , toldNoServer(false)
    , loudspeaker(PA_INVALID_INDEX)
{
    retry->setSingleShot(true);
    connect(retry, &QTimer::timeout, this, &AlarmVolume::connectToServer);
    // Values left behind by a program that ended while it rang.
    load();
    if (!outputs.isEmpty()) {
        restoring = true;
        connectToServer();
    }
}

AlarmVolume::~AlarmVolume()
{
    if (!loop)
        return;
    pa_threaded_mainloop_lock(loop);
    wanted = false;
    if (!outputs.isEmpty() && !givingBack && context
        && pa_context_get_state(context) == PA_CONTEXT_READY)
        giveBack();
    pa_threaded_mainloop_unlock(loop);
    // The program is ending: the user's volume is worth a moment's wait.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        pa_threaded_mainloop_lock(loop);
        const bool busy = pending > 0 && context;
        pa_threaded_mainloop_unlock(loop);
        if (!busy || waited.elapsed() > 1000)
            break;
        QThread::msleep(10);
    }
    pa_threaded_mainloop_stop(loop);
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_threaded_mainloop_free(loop);
}

void AlarmVolume::raise()
{
    connectToServer();
    if (!loop)
        return;
    pa_threaded_mainloop_lock(loop);
    wanted = true;
    for (Output &o : outputs)
        o.seen = false;
    if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
        askWhatToRaise();
    pa_threaded_mainloop_unlock(loop);
}

// A request whose answer is waited for. One libpulse could not send is
// never answered, and is not waited for.
void AlarmVolume::ask(pa_operation *operation)
{
    if (!operation)
        return;
    ++pending;
    pa_operation_unref(operation);
}

// The default output, and the outputs the program's streams play on.
void AlarmVolume::askWhatToRaise()
{
    drop(pa_context_get_server_info(context, serverInfo, this));
    drop(pa_context_get_sink_input_info_list(context, streamInfo, this));
}

void AlarmVolume::useLoudspeaker()
{
    if (!loop)
        return;
    pa_threaded_mainloop_lock(loop);
    if (wanted && context && pa_context_get_state(context) == PA_CONTEXT_READY) {
        worn.clear();
        loudspeaker = PA_INVALID_INDEX;
        drop(pa_context_get_sink_info_list(context, sinkListed, this));
    }
    pa_threaded_mainloop_unlock(loop);
}

void AlarmVolume::sinkListed(pa_context *context, const pa_sink_info *info, int eol, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (!eol && info) {
        if (isWorn(info)) {
            me->worn.append(info->index);
        } else if (me->loudspeaker == PA_INVALID_INDEX) {
            me->loudspeaker = info->index;
            me->loudspeakerName = info->name;
        }
        return;
    }
    if (eol > 0 && me->wanted && !me->worn.isEmpty() && me->loudspeaker != PA_INVALID_INDEX)
        drop(pa_context_get_sink_input_info_list(context, streamToMove, me));
}

void AlarmVolume::streamToMove(
    pa_context *context, const pa_sink_input_info *info, int eol, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (eol || !info || !me->wanted || !me->worn.contains(info->sink) || !ours(info))
        return;
    drop(pa_context_move_sink_input_by_index(
        context, info->index, me->loudspeaker, nullptr, nullptr));
    drop(pa_context_get_sink_info_by_index(context, me->loudspeaker, sinkToRaise, me));
    qWarning("%s",
        qPrintable(QStringLiteral("The alarm was not heard: it plays on the loudspeaker %1 now")
                       .arg(QString::fromStdString(me->loudspeakerName))));
}

void AlarmVolume::restore()
{
    if (!loop)
        return;
    pa_threaded_mainloop_lock(loop);
    wanted = false;
    bool reconnect = false;
    if (!outputs.isEmpty()) {
        restoring = true;
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY) {
            if (!givingBack)
                giveBack();
        } else {
            reconnect = true;
        }
    } else if (pending == 0) {
        done();
    }
    pa_threaded_mainloop_unlock(loop);
    if (reconnect)
        connectToServer();
}

// A connection for as long as there is something to do; one that failed
// (no server, or a server that went away) is replaced.
void AlarmVolume::connectToServer()
{
    if (!loop) {
        loop = pa_threaded_mainloop_new();
        if (!loop || pa_threaded_mainloop_start(loop) < 0) {
            qWarning("Alarm volume: the sound server cannot be asked (libpulse would not start)");
            if (loop)
                pa_threaded_mainloop_free(loop);
            loop = nullptr;
            return;
        }
    }
    pa_threaded_mainloop_lock(loop);
    if (context) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
            pa_context_unref(context);
            context = nullptr;
            // Nothing asked of that one will be answered.
            pending = 0;
            givingBack = false;
        }
    }
    if (!context) {
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Alarm Clock");
        pa_context_set_state_callback(context, contextState, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            pa_context_unref(context);
            context = nullptr;
        }
    }
    pa_threaded_mainloop_unlock(loop);
}

void AlarmVolume::contextState(pa_context *context, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        QMetaObject::invokeMethod(
            me, [me] { me->retryMs = firstRetryMs; }, Qt::QueuedConnection);
        pa_context_set_subscribe_callback(context, event, me);
        drop(pa_context_subscribe(context,
            pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT),
            nullptr, nullptr));
        for (Output &o : me->outputs)
            o.seen = false;
        if (me->restoring && !me->givingBack)
            me->giveBack();
        if (me->wanted)
            me->askWhatToRaise();
        break;
    case PA_CONTEXT_FAILED:
        me->pending = 0;
        me->givingBack = false;
        if ((me->wanted || me->restoring) && !me->toldNoServer) {
            me->toldNoServer = true;
            qWarning("Alarm volume: the sound server did not answer; the output's volume is left "
                     "as it is");
        }
        QMetaObject::invokeMethod(me, &AlarmVolume::retryLater, Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

// Tries the server again while there is something to ask of it.
void AlarmVolume::retryLater()
{
    if (!loop || retry->isActive())
        return;
    pa_threaded_mainloop_lock(loop);
    const bool again = wanted || restoring;
    const int longest = wanted ? ringingRetryMs : restoreRetryMs;
    pa_threaded_mainloop_unlock(loop);
    if (!again)
        return;
    retry->start(qMin(retryMs, longest));
    retryMs = qMin(retryMs * 2, restoreRetryMs);
}

void AlarmVolume::serverInfo(pa_context *context, const pa_server_info *info, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (me->wanted && info && info->default_sink_name)
        drop(pa_context_get_sink_info_by_name(context, info->default_sink_name, sinkToRaise, me));
}

void AlarmVolume::sinkToRaise(pa_context *, const pa_sink_info *info, int eol, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (!eol && info && me->wanted)
        me->raiseOutput(info);
}

AlarmVolume::Output *AlarmVolume::output(const std::string &name)
{
    for (Output &o : outputs) {
        if (o.name == name)
            return &o;
    }
    return nullptr;
}

// Unmutes the output and brings each channel up to the alarm volume; a
// louder channel stays as the user set it.
void AlarmVolume::raiseOutput(const pa_sink_info *info)
{
    if (Output *known = output(info->name)) {
        if (known->seen)
            return;
        // Raised before, on this server or one that went: raised again where
        // it holds neither what the alarm set nor what the user set since.
        known->seen = true;
        known->index = info->index;
        if (info->mute && !known->userMute) {
            known->muteSettled = false;
            ask(pa_context_set_sink_mute_by_index(context, info->index, 0, muteDone, this));
        }
        if (!known->userVolume && known->target.channels == info->volume.channels
            && !pa_cvolume_equal(&info->volume, &known->target)) {
            known->volumeSettled = false;
            ask(pa_context_set_sink_volume_by_index(
                context, info->index, &known->target, volumeDone, this));
        }
        return;
    }
    Output o;
    o.name = info->name;
    o.index = info->index;
    o.mute = info->mute;
    o.volume = info->volume;
    o.target = info->volume;
    for (int i = 0; i < o.target.channels; ++i)
        o.target.values[i] = std::max(o.target.values[i], alarmVolume);
    const bool low = !pa_cvolume_equal(&o.target, &o.volume);
    if (!o.mute && !low)
        return;
    if (o.mute) {
        o.muteSettled = false;
        ask(pa_context_set_sink_mute_by_index(context, o.index, 0, muteDone, this));
    }
    if (low) {
        o.volumeSettled = false;
        ask(pa_context_set_sink_volume_by_index(context, o.index, &o.target, volumeDone, this));
    }
    outputs.append(o);
    save();
    raised = true;
    qWarning("%s",
        qPrintable(o.mute ? QStringLiteral("Alarm volume: the output was muted")
                          : QStringLiteral("Alarm volume: the output was at %1 %")
                                .arg(percent(pa_cvolume_max(&o.volume)))));
}

// The program's own stream at full volume and not muted: the server
// remembers a volume per application, so one turned down once would stay
// down. A stream that moved to another output raises that one too.
void AlarmVolume::streamInfo(
    pa_context *context, const pa_sink_input_info *info, int eol, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (eol || !info || !me->wanted || !ours(info))
        return;
    if (info->mute)
        drop(pa_context_set_sink_input_mute(context, info->index, 0, nullptr, nullptr));
    if (pa_cvolume_max(&info->volume) < PA_VOLUME_NORM) {
        pa_cvolume full;
        pa_cvolume_set(&full, info->volume.channels, PA_VOLUME_NORM);
        drop(pa_context_set_sink_input_volume(context, info->index, &full, nullptr, nullptr));
    }
    bool known = false;
    for (const Output &o : me->outputs)
        known = known || o.index == info->sink;
    if (!known)
        drop(pa_context_get_sink_info_by_index(context, info->sink, sinkToRaise, me));
}

void AlarmVolume::event(
    pa_context *context, pa_subscription_event_type_t type, uint32_t index, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    const int facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (!me->wanted || kind == PA_SUBSCRIPTION_EVENT_REMOVE)
        return;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        drop(pa_context_get_sink_input_info(context, index, streamInfo, me));
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        for (const Output &o : me->outputs) {
            if (o.index == index)
                drop(pa_context_get_sink_info_by_index(context, index, sinkToWatch, me));
        }
    }
}

void AlarmVolume::sinkToWatch(pa_context *, const pa_sink_info *info, int eol, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (!eol && info && me->wanted)
        me->watchOutput(info);
}

// A change the alarm did not make is the user's, and is kept after the stop.
void AlarmVolume::watchOutput(const pa_sink_info *info)
{
    Output *o = output(info->name);
    // What a server started anew holds is judged once it is raised again.
    if (!o || !o->seen)
        return;
    if (o->muteSettled && info->mute)
        o->userMute = true;
    if (o->volumeSettled && !pa_cvolume_equal(&info->volume, &o->target))
        o->userVolume = true;
}

void AlarmVolume::muteDone(pa_context *context, int success, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    for (Output &o : me->outputs)
        o.muteSettled = true;
    opDone(context, success, self);
}

void AlarmVolume::volumeDone(pa_context *context, int success, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    for (Output &o : me->outputs)
        o.volumeSettled = true;
    opDone(context, success, self);
}

void AlarmVolume::opDone(pa_context *, int, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (me->pending > 0 && --me->pending == 0)
        me->done();
}

// Gives each output back what the user had, field by field, where it still
// holds what the alarm set: a change made since, by the user while it rang
// or after a crash, is kept. Outputs are named, since an index does not
// outlive the server.
void AlarmVolume::giveBack()
{
    givingBack = true;
    for (const Output &o : outputs)
        ask(pa_context_get_sink_info_by_name(context, o.name.c_str(), sinkToGiveBack, this));
    if (pending == 0)
        done();
}

void AlarmVolume::sinkToGiveBack(pa_context *context, const pa_sink_info *info, int eol, void *self)
{
    auto *me = static_cast<AlarmVolume *>(self);
    if (!eol && info)
        me->giveBackOutput(info);
    else
        opDone(context, 1, self);
}

void AlarmVolume::giveBackOutput(const pa_sink_info *info)
{
    const Output *o = output(info->name);
    if (!o)
        return;
    if (o->mute && !o->userMute && !info->mute)
        ask(pa_context_set_sink_mute_by_name(context, o->name.c_str(), 1, opDone, this));
    // Nothing is known of what the alarm set on a file left by an older
    // program: the volume is given back.
    const bool stillTarget = o->target.channels == 0
        || (o->target.channels == info->volume.channels
            && pa_cvolume_equal(&info->volume, &o->target));
    if (!o->userVolume && stillTarget && o->volume.channels == info->volume.channels
        && !pa_cvolume_equal(&info->volume, &o->volume))
        ask(pa_context_set_sink_volume_by_name(context, o->name.c_str(), &o->volume, opDone, this));
}

// Nothing left to ask: the file goes, and with it the connection.
void AlarmVolume::done()
{
    if (wanted || pending > 0 || (restoring && !givingBack))
        return;
    outputs.clear();
    restoring = givingBack = false;
    QFile::remove(fileName);
    if (raised) {
        raised = false;
        qWarning("Output volume restored");
    }
    if (context)
        pa_context_disconnect(context);
}

// One line for each output: its name, whether it was muted, and its volume
// on each channel.
void AlarmVolume::save() const
{
    QByteArray text;
    for (const Output &o : outputs) {
        text += QByteArray(o.name.c_str()) + ' ' + (o.mute ? '1' : '0') + ' '
            + QByteArray::number(o.volume.channels);
        for (int i = 0; i < o.volume.channels; ++i)
            text += ' ' + QByteArray::number(o.volume.values[i]);
        // And what the alarm set it to.
        text += ' ' + QByteArray::number(o.target.channels);
        for (int i = 0; i < o.target.channels; ++i)
            text += ' ' + QByteArray::number(o.target.values[i]);
        text += '\n';
    }
    OwnFile::write(fileName, text);
}

void AlarmVolume::load()
{
    QByteArray text;
    if (!OwnFile::read(fileName, 64 * 1024, &text))
        return;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        bool ok = fields.size() >= 3;
        const int channels = ok ? fields[2].toInt(&ok) : 0;
        if (!ok || channels < 1 || channels > int(PA_CHANNELS_MAX) || fields.size() < 3 + channels)
            continue;
        Output o;
        o.name = fields[0].toStdString();
        o.mute = fields[1] == "1";
        o.volume.channels = uint8_t(channels);
        for (int i = 0; i < channels && ok; ++i)
            o.volume.values[i] = fields[3 + i].toUInt(&ok);
        // What the alarm set, where the line says (an older program's does
        // not: channels 0).
        const int targets = fields.size() > 3 + channels ? fields[3 + channels].toInt(&ok) : 0;
        if (!ok || (targets != 0 && (targets != channels || fields.size() != 4 + 2 * channels)))
            continue;
        o.target.channels = uint8_t(targets);
        for (int i = 0; i < targets && ok; ++i)
            o.target.values[i] = fields[4 + channels + i].toUInt(&ok);
        if (ok && pa_cvolume_valid(&o.volume)) {
            outputs.append(o);
            raised = true;
        }
    }
    if (outputs.isEmpty())
        QFile::remove(fileName);
}
