#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "audioinfo.h"
#include "preferences.h"

#include <QAccelerometer>
#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QOrientationSensor>
#include <QString>

class QAudioInput;
class RingingGuard;
class WakeTimer;
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

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void initializeAlarm();
    void setAlarmTime();
    void unsetAlarmTime();
    void browseFile();

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

private:
    enum AlarmState { AlarmOff, AlarmArmed, AlarmRinging, AlarmPlaying };

    void readInitialOri();

    bool ringing() const;
    bool momentReached(const QString &moment, const QDateTime &now) const;
    void prepareSound();
    void useSound(const QString &fileName);
    void replaceSound(QSound *sound);
    void startPlay();
    bool playFinished();
    bool soundIsSilent() const;
    void stopRinging(const char *reason);
    void selectStoredSound();
    void followOwnSound(qreal level);
    void showLevel();
    void openCalibration(const QDateTime &now);
    void updateWakeTimer(const QDateTime &now);
    QDateTime nextAlarmMoment(const QDateTime &now) const;

    QString alarmTime;
    QString recordTime;
    int alarm_state;
    float time_from_start;
    QSound *soundObject;
    QAccelerometer sensorAcc;
    QOrientationSensor sensorOri;
    Ui::MainWindow *ui;
    QAudioDeviceInfo m_device;
    AudioInfo *m_audioInfo;
    QAudioFormat m_format;
    QAudioInput *m_audioInput;
    qreal prevLevel;
    qreal maxLevel;
    preferences conf;
    bool readLevel;
    qreal accX, accY, accZ;
    int ori;
    // False once the accelerometer reported that it cannot be read, until
    // its next reading.
    bool motionLive;
    QString soundPath;

    // The clock tick and the ringing cycle each run on one single-shot timer
    // of their own, so that a disarm can drop a pending ringing step.
    QTimer *clockTimer;
    QTimer *ringTimer;
    QTimer *calibrationTimer;
    // Wakes the phone from suspend for an armed alarm; the moment it last
    // fired for is not armed again.
    WakeTimer *wakeTimer;
    qint64 firedWake;
    // Keeps the phone awake and the alarm on the lock screen while it rings.
    RingingGuard *ringingGuard;
    QDateTime lastTick;
    QElapsedTimer playTime;
    qint64 playLimit;

    // The alarm hears its own sound after a play has ended: through the
    // sound server's output and the capture path. It counts as silent only
    // once the microphone has heard the room below the threshold again.
    bool ownSoundAudible;
    qint64 quietAfterOwnSound;

    // The level labels and bar show the latest level at the screen's pace,
    // not once per captured chunk.
    QTimer *levelView;
    qreal latestLevel;
    bool latestReached;
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
