#ifndef ALARMVOLUME_H
#define ALARMVOLUME_H

#include <QObject>
#include <QString>
#include <QVector>

#include <pulse/pulseaudio.h>

#include <string>

class QTimer;

// Makes the ringing alarm heard on a phone turned down or muted for the
// night: while it rings, the output it plays on is unmuted and at least at
// the alarm volume, and the program's own streams are at full volume. When
// it stops, the output gets back the user's mute and volume, but where it
// no longer holds what the alarm set (the user changed it meanwhile). The
// user's values and the alarm's are kept in a small file until they are
// given back, so that a program that crashed meanwhile gives them back at
// its next start. A sound server that is away while the alarm rings or
// while its values wait to be given back is tried again, sooner while it
// rings. It asks the sound server through libpulse on a thread of its own
// and never waits for it, but for a moment at the end.
class AlarmVolume : public QObject {
    Q_OBJECT

public:
    explicit AlarmVolume(const QString &fileName, QObject *parent = nullptr);
    ~AlarmVolume() override;

    // The ringing starts, or goes a step further to be heard: the outputs
    // are raised again where they no longer hold what the alarm set.
    void raise();
    // The alarm was not heard: where it plays on headphones, a headset or a
    // Bluetooth device, and a loudspeaker exists, it plays there from now on.
    void useLoudspeaker();
    // The ringing stopped, by whatever path.
    void restore();

    // The share of the device's nominal volume the alarm plays at, at least.
    static constexpr double alarmShare = 0.7;
    // A server that went away is tried again after this long, twice as long
    // each time, up to the longest wait: short while the alarm rings, long
    // while only the user's values wait to be given back.
    static constexpr int firstRetryMs = 250;
    static constexpr int ringingRetryMs = 1000;
    static constexpr int restoreRetryMs = 30000;

private:
    // An output the alarm raised, with what the user had.
    struct Output {
        std::string name;
        uint32_t index = 0;
        bool mute = false;
        pa_cvolume volume {};
        pa_cvolume target {};
        // What the user had is judged once the server has made the change.
        bool muteSettled = true;
        bool volumeSettled = true;
        bool userMute = false;
        bool userVolume = false;
        // Raised on the present connection; a server started anew may have
        // come back with the user's values.
        bool seen = true;
    };

    void connectToServer();
    void retryLater();
    void askWhatToRaise();
    void ask(pa_operation *operation);
    void giveBack();
    void giveBackOutput(const pa_sink_info *info);
    void raiseOutput(const pa_sink_info *info);
    void watchOutput(const pa_sink_info *info);
    void fixStream(const pa_sink_input_info *info);
    void save() const;
    void load();
    void done();
    Output *output(const std::string &name);

    static void contextState(pa_context *context, void *self);
    static void serverInfo(pa_context *context, const pa_server_info *info, void *self);
    static void sinkToRaise(pa_context *context, const pa_sink_info *info, int eol, void *self);
    static void sinkToWatch(pa_context *context, const pa_sink_info *info, int eol, void *self);
    static void streamInfo(
        pa_context *context, const pa_sink_input_info *info, int eol, void *self);
    static void event(
        pa_context *context, pa_subscription_event_type_t type, uint32_t index, void *self);
    static void muteDone(pa_context *context, int success, void *self);
    static void volumeDone(pa_context *context, int success, void *self);
    static void opDone(pa_context *context, int success, void *self);
    static void sinkListed(pa_context *context, const pa_sink_info *info, int eol, void *self);
    static void sinkToGiveBack(pa_context *context, const pa_sink_info *info, int eol, void *self);
    static void streamToMove(
        pa_context *context, const pa_sink_input_info *info, int eol, void *self);

    const QString fileName;
    pa_threaded_mainloop *loop;
    pa_context *context;
    QTimer *retry;
    int retryMs;
    // All below belongs to the loop's thread, or to whoever holds its lock.
    QVector<Output> outputs;
    bool wanted;
    // The user's values wait to be given back; once asked on the present
    // connection, `givingBack`.
    bool restoring;
    bool givingBack;
    bool raised;
    // The requests on the present connection not answered yet.
    int pending;
    bool toldNoServer;
    // The outputs worn on the body, and the loudspeaker found beside them.
    QVector<uint32_t> worn;
    uint32_t loudspeaker;
    std::string loudspeakerName;
};

#endif // ALARMVOLUME_H
