#ifndef OWNSOUND_H
#define OWNSOUND_H

#include <QDateTime>
#include <QString>
#include <QVector>

// What the microphone hears of the alarm's own sound. The program knows
// what it plays and when each play starts; the time the sound takes to
// reach the microphone (the sound output, the room, the capture) it
// measures on every play: the moment the microphone first hears the play
// rise above the room, less the file's own silence before its first sound.
// The sound then counts as audible until the file's last sound has come
// that late, and a short while more for the room's reverberation. A play
// the microphone never hears holds nothing back.
//
// Times are microseconds of the steady clock (now()). A chunk counts at the
// time its sound was captured, not when it arrived, so that the capture's
// delivery in bursts does not blur the measure.
class OwnSound {
public:
    // The longest delay a play's sound may take to the microphone: half a
    // second of echo path, as a Bluetooth speaker or a phone with deep
    // buffers has, and as much again for the output to start a play. A
    // delay that cannot be measured counts as this long, or as long as the
    // last one measured.
    static constexpr qint64 longestDelayUs = 1000000;
    // How long a room's reverberation keeps a sound loud once it has
    // stopped: a bedroom dies away by 60 dB in about half a second, so a
    // sound far above the stop threshold falls below it within a tenth.
    static constexpr qint64 reverberationUs = 100000;

    OwnSound();

    // The steady clock's time, in microseconds.
    static qint64 now();

    // A play of this file starts now.
    void playStarted(const QString &fileName, qint64 now);
    // A chunk the microphone captured at this time.
    void heard(qint64 now, qreal level, qreal threshold);
    // Whether the alarm's own sound may still reach the microphone now.
    bool audible(qint64 now) const;
    // The delay measured on the last play that was heard, or -1.
    qint64 delay() const { return lastDelay; }
    // How many plays in a row the microphone did not hear rise above a
    // room quiet enough to tell; a play heard ends the run. Plays in a loud
    // room, and plays while no chunk comes, count neither way.
    int unheardInRow() const { return unheardRun + (play == Unheard && !counted ? 1 : 0); }
    // Something was done about the plays not heard: the run starts again.
    void forgiveUnheard();
    // The alarm stopped: what was learnt about its plays no longer holds.
    void reset();

private:
    struct Sound {
        QString fileName;
        QDateTime modified;
        qint64 firstUs = -1;
        qint64 lastUs = -1;
    };
    const Sound &soundOf(const QString &fileName);

    enum Play { NoPlay, Listening, Heard, Masked, Unheard };
    Play play;
    qint64 started;
    qint64 playDelay;
    qint64 lastDelay;
    qreal roomLevel;
    int unheardRun;
    // The current play's verdict is in the run, or was forgiven.
    bool counted;
    Sound sound;
    // The room just before a play: recent chunks' delivery times and levels.
    QVector<QPair<qint64, qreal>> recent;
};

#endif // OWNSOUND_H
