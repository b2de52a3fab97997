#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "audioinfo.h"
#include "ownsound.h"
#include "preferences.h"
#include "rememberedalarm.h"

#include <QAccelerometer>
#include <QAudioFormat>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QOrientationSensor>
#include <QString>

class AudioCapture;
class Notifier;
class RingingGuard;
class SessionLock;
class WakeTimer;
class AlarmVolume;
class DirectSound;
class QSound;
class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // A sound the output has not loaded by then will not play at all (no
    // sound server, or a file it cannot decode): the play counts as failed.
    static const int loadGraceMs = 5000;
    // The level bar and label are brought up to date this often, 15 times a
    // second: fast enough to follow a voice, slow enough not to flicker.
    static const int levelViewMs = 66;
    // A quieter level shows once the one shown has stood this long.
    static const int levelHoldMs = 500;
    // How long captured chunks may wait while no one can see the level and
    // the alarm is not near.
    static const int unseenPatienceMs = 500;
    // While nothing runs, the clock still looks this often, whatever the
    // alarm: a new time zone may have moved it.
    static const int longestWaitMs = 10 * 60 * 1000;
    // Less of a pause than this is too short to measure the room in.
    static const int shortestRoomMeasureMs = 300;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void initializeAlarm();
    void setAlarmTime();
    void unsetAlarmTime();
    void browseFile();

    // Shows the window, or (`hidden`, as at login) only the notification of
    // a set alarm. Either way an alarm remembered from the program's last
    // run is set again first, or told of as missed.
    void start(bool hidden);
    // The window again, as the desktop or the notification asks.
    void showAgain();
    // Says it is finished when the window is closed and no alarm is set.
    void endIfClosed();
    // The name of the file that remembers a set alarm.
    static QString rememberedAlarmFile();
    static QString alarmVolumeFile();

signals:
    // The window is closed and no alarm is set: the program may end.
    void finished();

public slots:
    void playAlarm();
    void startClock();
    void setAlarm();
    void updateLevel();
    void setLevelAverage();
    void generalInitialization();
    void applySettings();
    void resetSettings();
    void readSensorAcc();
    void readSensorOri();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum AlarmState { AlarmOff, AlarmArmed, AlarmRinging, AlarmPlaying };

    void readInitialOri();
    void settleRest(const qreal axes[3], qreal offRest[3]);

    void setAlarmState(int state);
    bool ringing() const;
    void prepareSound();
    void useSound(const QString &fileName);
    void replaceSound(QSound *sound);
    void startPlay();
    void escalate();
    void playDirect();
    bool outputFailedOnWholeFile() const;
    bool playFinished();
    bool soundIsSilent() const;
    void stopRinging(const char *reason);
    void selectStoredSound();
    void measureRoomNow();
    void beginRoomMeasure(int windowMs);
    void showLevel();
    void chunksDelivered();
    bool windowCanBeSeen() const;
    bool alarmNeedsSenses(const QDateTime &now) const;
    void updateActivity();
    int waitMs(const QDateTime &now) const;
    void updateCapturePace();
    void startCapture(const QAudioFormat &format, bool nearest);
    void holdClockSize();
    void resumeRememberedAlarm();
    void openCalibration(const QDateTime &now);
    void updateWakeTimer(const QDateTime &now);
    QDateTime nextAlarmMoment(const QDateTime &now) const;
    QDateTime armedMoment() const;
    void missAlarm();
    QString wakeNote() const;
    void showWakeNote();
    bool alarmIsNear(const QDateTime &now) const;

    QString alarmTime;
    QString recordTime;
    int alarm_state;
    float time_from_start;
    QSound *soundObject;
    QAccelerometer sensorAcc;
    QOrientationSensor sensorOri;
    Ui::MainWindow *ui;
    AudioInfo *m_audioInfo;
    QAudioFormat m_format;
    // The microphone, opened on a thread of its own, once the format it
    // takes is known.
    AudioCapture *capture;
    bool captureFormatKnown;
    // Whether the microphone, the motion sensors and the clock's tick run:
    // only while someone may look, and for the alarm itself.
    bool awake;
    bool awakeForAlarm;
    SessionLock *sessionLock;
    qreal prevLevel;
    qreal maxLevel;
    preferences conf;
    bool readLevel;
    // The chunks heard since the room's measure began, when it began, and
    // how long it was to last.
    int roomChunks;
    QElapsedTimer roomMeasure;
    int roomWindowMs;
    qreal accX, accY, accZ;
    int ori;
    // False once the accelerometer reported that it cannot be read, until
    // its next reading.
    bool motionLive;
    // The accelerometer's reading of the phone at rest, and when it last
    // took a reading in; the rest follows a new way of lying in this long.
    static const int restSettleMs = 2000;
    qreal rest[3] = { 0.0, 0.0, 0.0 };
    QElapsedTimer restClock;
    QString soundPath;

    // The clock tick and the ringing cycle each run on one single-shot timer
    // of their own, so that a disarm can drop a pending ringing step.
    QTimer *clockTimer;
    QTimer *ringTimer;
    QTimer *calibrationTimer;
    // Wakes the phone from suspend for an armed alarm; the moment it last
    // fired for is not armed again.
    WakeTimer *wakeTimer;
    // The output raised for the ringing alarm, and given back after it.
    AlarmVolume *alarmVolume;
    // Plays the alarm where the toolkit's sound output failed on it, from
    // then until the alarm stops.
    DirectSound *directSound;
    bool playsDirect;
    // The sound server the toolkit's output played on went away.
    bool outputLost;
    // How far the ringing went to be heard: 1 the loudspeaker, 2 the
    // built-in sound.
    int escalation;
    qint64 firedWake;
    // Keeps the phone awake from the wake-up until the alarm stops.
    RingingGuard *ringingGuard;
    // The alarm's notification: set while the window is closed, ringing,
    // or missed.
    Notifier *notifier;
    QDateTime lastTick;
    RememberedAlarm remembered;
    QElapsedTimer playTime;
    qint64 playLimit;

    // The alarm hears its own sound, from the speaker through the room, for
    // a while after each play has ended.
    OwnSound ownSound;
    // Whether the room was measured for the alarm that is armed or ringing;
    // one that rang without it measures it in its first pause.
    bool roomMeasured;
    bool measureRoomInPause;

    // The clock label keeps its size while its text changes (see
    // eventFilter); its own limits, for when it gets a new one.
    bool clockHeld;
    QSize clockMinimum;
    QSize clockMaximum;

    // The level labels and bar show the loudest level of each display
    // period (-1 when nothing was heard since the last), at a level meter's
    // pace rather than once per captured chunk.
    QTimer *levelView;
    qreal heldLevel;
    bool heldReached;
    qreal shownLevel;
    QElapsedTimer shownAt;
    qreal shownTrigger;

    friend class TestShell;
    friend class TestAlarmClock;
    friend class TestSoundDrill;
    friend class TestSoundLevel;
    friend class TestMotion;
    friend class TestIioSensors;
    friend class TestWake;
    friend class TestPreferences;
};

#endif // MAINWINDOW_H
