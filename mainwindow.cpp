#include "mainwindow.h"
#include "alarmschedule.h"
#include "alarmvolume.h"
#include "audiocapture.h"
#include "directsound.h"
#include "iioaccelerometer.h"
#include "notifier.h"
#include "ownsound.h"
#include "rememberedalarm.h"
#include "ringingguard.h"
#include "sessionlock.h"
#include "ui_mainwindow.h"
#include "waketimer.h"
#include "wavefile.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QSound>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QTimer>
#include <QVariant>
#include <QWindow>
#include <QtEndian>

#include <cmath>

namespace {

// The names of the built-in sounds, as the sound list shows and the
// settings store them.
const char *const builtinNames[] = { "sounds/ringin.wav", "sounds/warning.wav" };

// The sound that rings whenever the chosen one cannot be played. It is built
// into the program, so it plays from any working directory.
QString fallbackSound()
{
    return QStringLiteral(":/sounds/warning.wav");
}

// The file a stored sound name plays: the file of that name where one
// exists, else the copy built into the program for a built-in name.
QString soundFile(const QString &name)
{
    if (!QFile::exists(name)) {
        for (const char *builtin : builtinNames) {
            if (name == QLatin1String(builtin))
                return QStringLiteral(":/") + name;
        }
    }
    return name;
}

bool soundExists(const QString &name)
{
    return QFile::exists(soundFile(name));
}

// The calibration moment comes this long before the alarm moment, and the
// phone is woken this long before that, time enough to resume: the senses
// run from the sum on.
const int calibrationLeadSecs = 4;
const int wakeLeadSecs = 10;
const int sensesLeadSecs = calibrationLeadSecs + wakeLeadSecs;

// Ticks are placed just after the second boundary, so the clock label
// changes with the wall clock.
const int tickMarginMs = 5;

QSoundEffect *effectOf(const QSound *sound)
{
    return sound ? sound->findChild<QSoundEffect *>() : nullptr;
}

QString levelText(qreal level)
{
    return QString::number(float(level), 'g', 6);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , alarm_state(AlarmOff)
    , time_from_start(2.0f)
    , soundObject(nullptr)
    , ui(new Ui::MainWindow())
    , m_audioInfo(nullptr)
    , capture(nullptr)
    , captureFormatKnown(false)
    , awake(true)
    , awakeForAlarm(false)
    , sessionLock(new SessionLock(this))
    , prevLevel(0.0)
    , maxLevel(2.0)
    , readLevel(false)
    , roomChunks(0)
    , roomWindowMs(0)
    , accX(0.0)
    , accY(0.0)
    , accZ(0.0)
    , ori(0)
    , motionLive(true)
    , clockTimer(new QTimer(this))
    , ringTimer(new QTimer(this))
    , calibrationTimer(new QTimer(this))
    , wakeTimer(new WakeTimer(this))
    , alarmVolume(new AlarmVolume(alarmVolumeFile(), this))
    , directSound(new DirectSound(this))
    , playsDirect(false)
    , outputLost(false)
    , escalation(0)
    , firedWake(0)
    , ringingGuard(new RingingGuard(this))
    , notifier(new Notifier(this))
    , playLimit(0)
    , roomMeasured(false)
    , measureRoomInPause(false)
    , clockHeld(false)
    , levelView(new QTimer(this))
    , heldLevel(-1.0)
    , heldReached(false)
    , shownLevel(-1.0)
    , shownTrigger(-1.0)
{
    // The built-in sounds live in the program's library, which the linker
    // keeps only when asked to.
    Q_INIT_RESOURCE(sounds);

    sensorAcc.start();
    connect(&sensorAcc, SIGNAL(readingChanged()), this, SLOT(readSensorAcc()));
    sensorOri.start();
    connect(&sensorOri, SIGNAL(readingChanged()), this, SLOT(readSensorOri()));
    // A sensor that cannot be read any longer leaves its last reading
    // behind; that is not how the phone lies now.
    connect(&sensorAcc, &QSensor::sensorError, this, [this] { motionLive = false; });
    if (!sensorAcc.isConnectedToBackend() && !sensorOri.isConnectedToBackend()) {
        const QString why = IioAccelerometer::unusableReason();
        qWarning("%s",
            qPrintable(QStringLiteral("Stop by shaking and by turning over are unavailable: ")
                + (why.isEmpty() ? QStringLiteral("this device has no motion sensors") : why)));
    } else if (!sensorAcc.isConnectedToBackend())
        qWarning("Stop by shaking is unavailable: this device has no accelerometer");
    else if (!sensorOri.isConnectedToBackend())
        qWarning("Stop by turning over is unavailable: this device has no orientation sensor");

    prevLevel = 0.0;
    maxLevel = 2.0;

    m_format.setSampleRate(8000);
    m_format.setChannelCount(1);
    m_format.setSampleSize(16);
    m_format.setSampleType(QAudioFormat::SignedInt);
    m_format.setByteOrder(QAudioFormat::LittleEndian);
    m_format.setCodec(QStringLiteral("audio/pcm"));
    // The meter is ready at once; the microphone is found and opened while
    // the window shows, and feeds it from then on.
    m_audioInfo = new AudioInfo(m_format, this);
    connect(m_audioInfo, SIGNAL(update()), this, SLOT(updateLevel()));
    m_audioInfo->start();
    capture = new AudioCapture(this);
    capture->setSink(m_audioInfo);
    connect(capture, &AudioCapture::formatChosen, this, &MainWindow::startCapture);
    connect(capture, &AudioCapture::delivered, this, &MainWindow::chunksDelivered);
    capture->findDevice(m_format);

    readLevel = false;

    ui->setupUi(this);
    clockMinimum = ui->timeLabel->minimumSize();
    clockMaximum = ui->timeLabel->maximumSize();
    ui->tab->installEventFilter(this);
    ui->timeLabel->installEventFilter(this);

    clockTimer->setSingleShot(true);
    clockTimer->setTimerType(Qt::PreciseTimer);
    connect(clockTimer, SIGNAL(timeout()), this, SLOT(startClock()));
    ringTimer->setSingleShot(true);
    connect(ringTimer, SIGNAL(timeout()), this, SLOT(playAlarm()));
    calibrationTimer->setSingleShot(true);
    connect(calibrationTimer, SIGNAL(timeout()), this, SLOT(setLevelAverage()));
    levelView->setSingleShot(true);
    connect(levelView, &QTimer::timeout, this, &MainWindow::showLevel);
    // A tick at once when the phone wakes for the alarm, since the clock's
    // own timer may have slept through the moment.
    // The phone stays awake from then on, until the alarm stops.
    connect(wakeTimer, &WakeTimer::fired, this, [this](qint64 moment) {
        firedWake = moment;
        if (alarm_state == AlarmArmed && alarmIsNear(QDateTime::currentDateTime()))
            ringingGuard->keepAwake();
        startClock();
    });
    // The notification's actions do what the button does, or show the window.
    connect(notifier, &Notifier::chosen, this, [this](const QString &key) {
        if ((key == QLatin1String("stop") && ringing())
            || (key == QLatin1String("unset") && alarm_state == AlarmArmed))
            setAlarm();
        else if (key == QLatin1String("default"))
            showAgain();
    });
    // A clock set anew, or a new time zone (a new /etc/localtime), may move
    // the alarm: the clock looks at once, however long it meant to wait.
    const auto clockChanged = [this] {
        firedWake = 0;
        startClock();
    };
    connect(wakeTimer, &WakeTimer::clockChanged, this, clockChanged);
    auto *zone = new QFileSystemWatcher({ QStringLiteral("/etc") }, this);
    connect(zone, &QFileSystemWatcher::directoryChanged, this, clockChanged);
    connect(sessionLock, &SessionLock::lockedChanged, this, &MainWindow::updateActivity);
    connect(wakeTimer, &WakeTimer::canWakeChanged, this, &MainWindow::showWakeNote);
    // The toolkit's sound effects go on as if they played once the sound
    // server that played them went away, and come back only long after a
    // new one: every alarm plays without them from then on. A play under
    // way ends, and the next begins on the new server.
    directSound->watchServer();
    connect(directSound, &DirectSound::serverLost, this, [this] {
        outputLost = true;
        if (alarm_state == AlarmPlaying)
            playLimit = 0;
    });

    generalInitialization();
    startClock();
    time_from_start = 2.0f;

    connect(ui->bsetAlarm, SIGNAL(clicked()), this, SLOT(setAlarm()));
    connect(ui->applyButton, SIGNAL(clicked()), this, SLOT(applySettings()));
    connect(ui->resetButton, SIGNAL(clicked()), this, SLOT(resetSettings()));
}

MainWindow::~MainWindow()
{
    // The capture ends first, while the meter it feeds is still whole.
    delete capture;
    capture = nullptr;
    delete ui;
    // The last sound goes the way of every replaced one: a sound still
    // loading must not be destroyed before the output lets go of it.
    replaceSound(nullptr);
}

// ---- Clock and arming -------------------------------------------------------

void MainWindow::startClock()
{
    const QDateTime now = QDateTime::currentDateTime();
    ui->timeLabel->setText(now.time().toString());

    if (alarm_state == AlarmArmed) {
        const AlarmSchedule::Verdict alarm
            = AlarmSchedule::reached(QTime::fromString(alarmTime), lastTick, now);
        const bool alarmDue = alarm == AlarmSchedule::Due;
        if (alarm == AlarmSchedule::Missed) {
            missAlarm();
        } else if (alarmDue) {
            // A calibration still open would go on to measure the alarm.
            if (readLevel) {
                qWarning("Calibration closed early: the alarm is ringing");
                setLevelAverage();
                calibrationTimer->stop();
            }
            // Never wait on the file chooser here: a missing file rings
            // with the built-in sound instead.
            prepareSound();
            playAlarm();
        }
        // Measuring the room once the alarm rings would measure the alarm.
        // The room is measured a little before the alarm's moment, whatever
        // the clock shows then.
        const QDateTime calibration = armedMoment().addSecs(-calibrationLeadSecs);
        if (alarm == AlarmSchedule::NotYet && calibration > lastTick && calibration <= now)
            openCalibration(now);
    }

    lastTick = now;
    // A new time zone or a clock set anew moves the alarm: a program started
    // again after a crash finds where it stands now.
    if (alarm_state == AlarmArmed)
        remembered.remember(armedMoment(), alarmTime);
    updateWakeTimer(now);
    updateActivity();
    clockTimer->start(awake ? 1000 - now.time().msec() + tickMarginMs : waitMs(now));
}

// What runs is decided here, and only here: the microphone, the motion
// sensors and the clock's tick run while the window can be seen, and from
// the moment the phone is woken for the alarm until the alarm stops. The
// rest of the time nothing runs, and the clock waits on one timer for the
// next moment that matters; the wake timer wakes the program then too, from
// suspend.
void MainWindow::updateActivity()
{
    const bool forAlarm = alarmNeedsSenses(QDateTime::currentDateTime());
    // A microphone lost in the night is tried at once when the alarm comes
    // near, rather than at its next try.
    if (forAlarm && !awakeForAlarm)
        capture->reopenIfLost();
    awakeForAlarm = forAlarm;
    const bool wanted = windowCanBeSeen() || forAlarm;
    if (wanted != awake) {
        awake = wanted;
        if (wanted) {
            sensorAcc.start();
            sensorOri.start();
            if (captureFormatKnown)
                capture->start(m_format);
            // The clock shows the time at once, and ticks from then on.
            clockTimer->start(0);
        } else {
            sensorAcc.stop();
            sensorOri.stop();
            // The phone may be lying another way by the next reading.
            restClock.invalidate();
            capture->stop();
        }
    }
    updateCapturePace();
}

// The room is measured, and the phone's way of lying noted, from the wake
// lead on; the stop rules listen while the alarm rings.
bool MainWindow::alarmNeedsSenses(const QDateTime &now) const
{
    if (ringing() || readLevel || measureRoomInPause)
        return true;
    if (alarm_state != AlarmArmed)
        return false;
    const QDateTime alarm = nextAlarmMoment(now);
    return alarm.isValid() && now.msecsTo(alarm) <= sensesLeadSecs * 1000;
}

// How long the clock may wait while nothing runs: until the wake lead of
// an armed alarm, and never longer than a time zone may go unseen.
int MainWindow::waitMs(const QDateTime &now) const
{
    qint64 wait = longestWaitMs;
    const QDateTime alarm = alarm_state == AlarmArmed ? nextAlarmMoment(now) : QDateTime();
    if (alarm.isValid())
        wait = qMin(wait, now.msecsTo(alarm) - sensesLeadSecs * 1000);
    return int(qMax(qint64(0), wait) + tickMarginMs);
}

// Chunks may gather on the capture thread while nothing waits for them:
// for the display's period while the window can be seen, longer while it
// cannot. Near the alarm and while it rings, the calibration and the stop
// rule take each burst as it comes. So does a phone's accelerometer, whose
// twenty looks a second ride on the microphone's wake-ups: measured, that
// costs the thread less than its own timer waking it.
void MainWindow::updateCapturePace()
{
    if (!capture)
        return;
    const bool urgent = ringing() || readLevel || measureRoomInPause
        || (alarm_state == AlarmArmed && alarmIsNear(QDateTime::currentDateTime()));
    const bool motionRides
        = sensorAcc.isActive() && sensorAcc.identifier() == IioAccelerometer::identifier;
    if (urgent || motionRides)
        capture->setPatience(0);
    else
        capture->setPatience(windowCanBeSeen() ? levelViewMs : unseenPatienceMs);
}

// While the alarm is armed the wake timer stands a little before the
// calibration moment, so that the phone is up in time to measure the room,
// and once that has passed, at the alarm moment itself. Checked at every
// tick, so that a new time zone or daylight saving time moves it along with
// the alarm.
void MainWindow::updateWakeTimer(const QDateTime &now)
{
    if (alarm_state != AlarmArmed) {
        wakeTimer->disarm();
        return;
    }
    const QDateTime alarm = nextAlarmMoment(now);
    if (!alarm.isValid())
        return;
    const QDateTime wake = alarm.addSecs(-sensesLeadSecs);
    // A tick past the wake moment may come before the helper's word that it
    // fired (a resumed phone runs its overdue timers first): the phone is
    // awake for the alarm either way, and is kept so. A clock set anew or a
    // new time zone may move the alarm away again: the phone may sleep till
    // its wake-up then.
    const bool near = alarmIsNear(now);
    if (wake <= now && near)
        ringingGuard->keepAwake();
    else if (!near)
        ringingGuard->release();
    const qint64 moment = (wake > now ? wake : alarm).toSecsSinceEpoch();
    if (moment != firedWake)
        wakeTimer->arm(moment);
}

// Whether the alarm is as near as the phone is woken before it; the wall
// clock is what the alarm keeps to, and a wake-up far from it keeps nothing
// awake.
bool MainWindow::alarmIsNear(const QDateTime &now) const
{
    const QDateTime alarm = nextAlarmMoment(now);
    return alarm.isValid() && now.secsTo(alarm) <= sensesLeadSecs + 60;
}

// The next moment, after `now`, at which the alarm time comes.
QDateTime MainWindow::nextAlarmMoment(const QDateTime &now) const
{
    return AlarmSchedule::next(QTime::fromString(alarmTime), now);
}

// The moment the coming ticks ring the armed alarm for: the first one after
// the last tick.
QDateTime MainWindow::armedMoment() const
{
    return nextAlarmMoment(lastTick.isValid() ? lastTick : QDateTime::currentDateTime());
}

// Opens the three-second window in which the room is measured, and notes
// how the phone lies. A late tick may open it less than three seconds
// before the alarm moment: it then closes at that moment, before the alarm
// can be heard.
void MainWindow::openCalibration(const QDateTime &now)
{
    const qint64 untilAlarm = now.msecsTo(nextAlarmMoment(now));
    const int windowMs = int(qMin(qint64(3000), untilAlarm));
    if (windowMs < 3000)
        qWarning("Calibration shortened to %d ms: it must end before the alarm", windowMs);
    beginRoomMeasure(windowMs);
    ringingGuard->keepAwake();
}

// Each alarm's threshold comes from its own room: a loud room heard for an
// earlier alarm (a truck, another phone ringing) says nothing of this one.
// How the phone lies is noted with it, as the flip is judged against that.
void MainWindow::beginRoomMeasure(int windowMs)
{
    prevLevel = 0.0;
    roomChunks = 0;
    roomMeasure.start();
    roomWindowMs = windowMs;
    readLevel = true;
    readInitialOri();
    calibrationTimer->start(windowMs);
}

// The button sets, unsets or stops the alarm, by the state it is in.
void MainWindow::setAlarm()
{
    if (alarm_state == AlarmOff) {
        setAlarmTime();
        initializeAlarm();
    } else if (alarm_state == AlarmArmed) {
        unsetAlarmTime();
    } else {
        soundObject->stop();
        unsetAlarmTime();
    }
}

// The alarm's state, which the button's text and the time editor mirror:
// the time can be changed only while no alarm is set.
void MainWindow::setAlarmState(int state)
{
    // The editor repaints at every change of its read-only flag: it changes
    // only when an alarm is set or ends, never between plays.
    const bool editable = state == AlarmOff;
    const bool changed = editable != (alarm_state == AlarmOff);
    alarm_state = state;
    ui->bsetAlarm->setText(state == AlarmOff ? tr("Set Alarm")
            : state == AlarmArmed            ? tr("Unset Alarm")
                                             : tr("Stop Alarm"));
    if (changed)
        ui->selectedTime->setReadOnly(!editable);
}

void MainWindow::setAlarmTime()
{
    setAlarmState(AlarmArmed);
    roomMeasured = false;
    const QTime alarm = ui->selectedTime->time();
    alarmTime = alarm.toString();
    conf.setTime(alarmTime);
    ui->testLabel->setText(alarmTime);

    // The calibration moment as the clock shows it, whatever the alarm's
    // seconds: 07:29:56 for 07:30, 23:59:56 for midnight.
    recordTime = QTime(alarm.hour(), alarm.minute()).addSecs(-calibrationLeadSecs).toString();
    ui->testLabel->setText(recordTime);
    firedWake = 0;
    updateWakeTimer(QDateTime::currentDateTime());
    remembered.remember(armedMoment(), alarmTime);
    showWakeNote();
}

void MainWindow::unsetAlarmTime()
{
    setAlarmState(AlarmOff);
    // A ringing step still pending belongs to the cycle just ended.
    ringTimer->stop();
    directSound->stop();
    playsDirect = false;
    ownSound.reset();
    escalation = 0;
    measureRoomInPause = false;
    wakeTimer->disarm();
    alarmVolume->restore();
    ringingGuard->release();
    notifier->close();
    remembered.forget();
    ui->testLabel->setText(QString());
    maxLevel = 1.0;
    ui->label_trigger->setText(QStringLiteral("Max: ") + QString::number(maxLevel, 'g', 6));
    shownTrigger = -1.0;
    showWakeNote();
    updateActivity();
    endIfClosed();
}

// Where the phone cannot be woken from suspend for the armed alarm, the
// person who set it is told so, under the alarm time and in the notification
// of the set alarm, and not only in the log.
QString MainWindow::wakeNote() const
{
    return alarm_state == AlarmArmed && !wakeTimer->canWake()
        ? tr("The phone will not wake from sleep for this alarm")
        : QString();
}

// The helper says whether it can wake the phone only once it runs, which may
// be after the notification was shown: that is then shown again.
void MainWindow::showWakeNote()
{
    const QString note = wakeNote();
    if (note == ui->wakeLabel->text())
        return;
    ui->wakeLabel->setText(note);
    ui->wakeLabel->setVisible(!note.isEmpty());
    if (alarm_state == AlarmArmed && isHidden() && notifier->showing())
        notifier->showArmed(alarmTime, note);
}

// An alarm whose moment passed too long ago to wake anybody (the phone slept
// through it, and was not woken for it): told of, and forgotten.
void MainWindow::missAlarm()
{
    const QString time = alarmTime;
    unsetAlarmTime();
    notifier->showMissed(time);
    qWarning("%s", qPrintable(QStringLiteral("Missed alarm %1").arg(time.left(5))));
}

// ---- An alarm that outlives its window ----------------------------------------

// The window is closed: the program ends, unless an alarm is set or ringing.
// Then the window only hides, and a notification says when the alarm will
// ring and offers to unset it (a ringing alarm shows its own).
void MainWindow::closeEvent(QCloseEvent *event)
{
    if (alarm_state == AlarmOff) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    hide();
    if (alarm_state == AlarmArmed)
        notifier->showArmed(alarmTime, wakeNote());
}

// The window again, as it was; the notification of a set alarm goes.
void MainWindow::showAgain()
{
    if (alarm_state == AlarmArmed)
        notifier->close();
    showNormal();
    raise();
    activateWindow();
}

// Once the alarm has stopped or been unset, a window that was closed while
// it was set lets the program end.
void MainWindow::endIfClosed()
{
    if (!isVisible() && alarm_state == AlarmOff)
        QTimer::singleShot(0, this, [this] {
            if (!isVisible() && alarm_state == AlarmOff)
                emit finished();
        });
}

QString MainWindow::rememberedAlarmFile()
{
    return RememberedAlarm::fileName();
}

// The user's mute and volume of the outputs raised for a ringing alarm.
QString MainWindow::alarmVolumeFile()
{
    return QStringLiteral("alarm.volume");
}

// An alarm set before the program last ended: set again while its moment
// is still ahead, and rung at once if it is only a little late (a crash
// during the ringing); one that passed long ago is not rung, but told of.
// Its moment is found again from its time of day, in the zone the phone is
// in now.
void MainWindow::resumeRememberedAlarm()
{
    QDateTime stored;
    QTime time;
    const RememberedAlarm::Found found = RememberedAlarm::read(&stored, &time);
    if (found == RememberedAlarm::Nothing)
        return;
    if (found == RememberedAlarm::Unreadable || alarm_state != AlarmOff) {
        if (found == RememberedAlarm::Unreadable)
            qWarning("%s",
                qPrintable(QStringLiteral("The remembered alarm in %1 could not be read; it is "
                                          "forgotten")
                               .arg(rememberedAlarmFile())));
        remembered.forget();
        return;
    }
    const QString shown = time.toString().left(5);
    const QDateTime moment = AlarmSchedule::resumed(time, stored);
    const AlarmSchedule::Verdict verdict
        = AlarmSchedule::remembered(moment, QDateTime::currentDateTime());
    if (verdict == AlarmSchedule::Missed) {
        remembered.forget();
        notifier->showMissed(time.toString());
        qWarning("%s", qPrintable(QStringLiteral("Missed alarm %1").arg(shown)));
        return;
    }
    // Moments from the remembered one on have not been dealt with yet.
    if (verdict == AlarmSchedule::Due)
        lastTick = moment.addSecs(-1);
    ui->selectedTime->setTime(time);
    setAlarmTime();
    prepareSound();
    qWarning("%s", qPrintable(QStringLiteral("Alarm re-armed for %1 after a restart").arg(shown)));
    // The clock's wait was chosen with no alarm set: it looks again now, so
    // that an alarm minutes away is measured for and rung on time.
    startClock();
}

void MainWindow::start(bool hidden)
{
    resumeRememberedAlarm();
    if (!hidden) {
        show();
    } else if (alarm_state == AlarmArmed) {
        notifier->showArmed(alarmTime, wakeNote());
    } else if (notifier->showing()) {
        // Nothing to wait for but the word that an alarm was missed.
        connect(notifier, &Notifier::answered, this, &MainWindow::finished);
    } else {
        QTimer::singleShot(0, this, &MainWindow::finished);
    }
}

// ---- Alarm sound and ringing cycle ------------------------------------------

void MainWindow::playAlarm()
{
    if (alarm_state == AlarmArmed) {
        setAlarmState(AlarmRinging);
        showWakeNote();
        alarmVolume->raise();
        ringingGuard->keepAwake();
        notifier->showRinging(alarmTime);
        measureRoomInPause = !roomMeasured;
    }

    if (alarm_state == AlarmRinging) {
        startPlay();
        setAlarmState(AlarmPlaying);
        time_from_start = float(time_from_start + 0.2);
        ringTimer->start(200);
    } else if (alarm_state == AlarmPlaying) {
        if (playFinished()) {
            time_from_start += 2.0f;
            setAlarmState(AlarmRinging);
            if (time_from_start < 60.0f) {
                ringTimer->start(2000);
            } else {
                time_from_start = 0;
                ringTimer->start(60000);
            }
        } else {
            time_from_start = float(time_from_start + 0.1);
            ringTimer->start(100);
        }
    }
}

void MainWindow::startPlay()
{
    if (ownSound.unheardInRow() >= 2)
        escalate();
    // The file may have changed or gone since the sound was made.
    const QSoundEffect *effect = effectOf(soundObject);
    qint64 length = effect ? WaveFile(soundObject->fileName()).duration() : -1;
    if (outputLost || outputFailedOnWholeFile())
        playsDirect = true;
    if (playsDirect) {
        playDirect();
        return;
    }
    if (!effect || effect->status() == QSoundEffect::Error || length < 0) {
        useSound(fallbackSound());
        length = WaveFile(soundObject->fileName()).duration();
    }
    soundObject->setLoops(1);
    soundObject->play();
    playTime.start();
    // A real play lasts the file's length at its own rate, once the output
    // has had its time to load it.
    playLimit = loadGraceMs + qMax(qint64(0), length);
    ownSound.playStarted(soundObject->fileName(), OwnSound::now());
}

// The output reports an error on a file that is whole: the fault is the
// output's, not the file's.
bool MainWindow::outputFailedOnWholeFile() const
{
    const QSoundEffect *effect = effectOf(soundObject);
    return effect && effect->status() == QSoundEffect::Error
        && WaveFile(soundObject->fileName()).playable();
}

// A whole file the output failed on: the sound server went away under the
// toolkit's sound effects, which come back only long after it does. This
// alarm plays through a connection of its own from now on; where no server
// answers, the play ends at once and the cycle goes on.
void MainWindow::playDirect()
{
    // The file may have gone since the sound was made.
    QString file = soundObject->fileName();
    if (!WaveFile(file).playable())
        file = fallbackSound();
    const qint64 length = WaveFile(file).duration();
    playTime.start();
    playLimit = loadGraceMs + qMax(qint64(0), length);
    if (directSound->play(file))
        ownSound.playStarted(file, OwnSound::now());
}

// Two plays in a row its own microphone did not hear: the alarm goes to the
// loudspeaker if it played on something worn, and then rings with the
// built-in sound, for a chosen file too quiet to hear. Each step is kept.
void MainWindow::escalate()
{
    ownSound.forgiveUnheard();
    // The output may have been turned down again, or its server started
    // anew, since the ringing began.
    alarmVolume->raise();
    if (escalation == 0) {
        notifier->showRinging(alarmTime, tr("the alarm cannot be heard"));
        alarmVolume->useLoudspeaker();
    } else if (escalation == 1 && soundObject->fileName() != fallbackSound()) {
        useSound(fallbackSound());
        qWarning("The alarm was not heard: it rings with the built-in sound now");
    }
    escalation = qMin(escalation + 1, 2);
}

bool MainWindow::playFinished()
{
    const QSoundEffect *effect = effectOf(soundObject);
    const qint64 elapsed = playTime.elapsed();
    if (playsDirect)
        return !directSound->isPlaying() || elapsed > playLimit;
    const bool failed = !effect || effect->status() == QSoundEffect::Error
        || (effect->status() != QSoundEffect::Ready && elapsed > loadGraceMs);
    // A whole file the output failed on, or even the built-in sound not
    // loaded: the output itself is at fault, and the alarm plays without it.
    if (failed && (outputFailedOnWholeFile() || soundObject->fileName() == fallbackSound())) {
        playsDirect = true;
        playDirect();
        return false;
    }
    if (failed) {
        // Ring with the built-in sound rather than stay silent.
        useSound(fallbackSound());
        startPlay();
        return false;
    }
    return soundObject->isFinished() || elapsed > playLimit;
}

void MainWindow::initializeAlarm()
{
    prepareSound();
    browseFile();
}

void MainWindow::prepareSound()
{
    useSound(conf.getSoundFileName());
    const QString fileName = conf.getSoundFileName();
    if (!soundExists(fileName)) {
        const QString musicDirectory
            = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        qWarning() << QStringLiteral("Music directory: ") + musicDirectory;
        // An absolute path is kept as the user chose it.
        if (QDir::isRelativePath(fileName)) {
            conf.setSoundFileName(musicDirectory + QStringLiteral("/") + fileName);
            useSound(conf.getSoundFileName());
        }
    }
}

// Makes the sound for a file, or the built-in one when the output could not
// play it. The current sound is kept when it is idle and plays the same
// file: every new sound costs the output a stream of its own, and where no
// sound server runs, a connection attempt that the toolkit never frees in
// full.
void MainWindow::useSound(const QString &fileName)
{
    QString file = soundFile(fileName);
    if (!WaveFile(file).playable())
        file = fallbackSound();
    const QSoundEffect *effect = effectOf(soundObject);
    if (effect && soundObject->fileName() == file && soundObject->isFinished()
        && effect->status() != QSoundEffect::Error)
        return;
    auto *sound = new QSound(file);
    // Phone policies route and rank streams by their role.
    if (QSoundEffect *effect = effectOf(sound))
        effect->setCategory(QStringLiteral("alarm"));
    replaceSound(sound);
}

// Replaced sounds are released once they have stopped playing, so a play in
// progress runs to its end. A sound the output never got ready was never
// heard and goes at once, so sounds cannot pile up where none can load (no
// sound server). Releasing it may wait until its file has been read; every
// file was checked to be whole before it got here, so that wait is short.
void MainWindow::replaceSound(QSound *sound)
{
    QSound *old = soundObject;
    soundObject = sound;
    if (!old)
        return;
    QSoundEffect *effect = effectOf(old);
    auto release = [old, effect] {
        if (!effect || effect->status() != QSoundEffect::Ready || old->isFinished())
            old->deleteLater();
    };
    if (effect)
        connect(effect, &QSoundEffect::playingChanged, old, release);
    release();
}

void MainWindow::browseFile()
{
    if (soundExists(conf.getSoundFileName()))
        return;
    soundPath = QFileDialog::getOpenFileName(this, tr("Open File"), QDir::currentPath());
    // Cancelling keeps the setting as it was; the alarm then rings with the
    // built-in sound.
    if (soundPath.isEmpty())
        return;
    conf.setSoundFileName(soundPath);
    useSound(conf.getSoundFileName());
    ui->soundComboBox->addItem(soundPath);
    selectStoredSound();
    qWarning() << conf.getSoundFileName();
}

// ---- Sound level ------------------------------------------------------------

// The default input device is known, and the format it takes.
void MainWindow::startCapture(const QAudioFormat &format, bool nearest)
{
    if (nearest) {
        qWarning() << "Default format not supported - trying to use nearest";
        m_format = format;
        delete m_audioInfo;
        m_audioInfo = new AudioInfo(m_format, this);
        connect(m_audioInfo, SIGNAL(update()), this, SLOT(updateLevel()));
        m_audioInfo->start();
        capture->setSink(m_audioInfo);
    }
    qWarning() << "INFO";
    qWarning() << "input";
    captureFormatKnown = true;
    if (awake)
        capture->start(m_format);
}

// Runs for every captured chunk, which may come hundreds of times a second:
// the calibration and the stop rule see every one. The labels and the bar
// show the loudest chunk of each display period, as a level meter does,
// and only while the window can be seen.
void MainWindow::updateLevel()
{
    const qreal currentLevel = m_audioInfo->level();
    if (readLevel) {
        ++roomChunks;
        if (currentLevel > prevLevel)
            prevLevel = currentLevel;
    }
    // When the chunk's sound was captured, where the capture can tell.
    const qint64 captured = capture->chunkTime();
    const qint64 now = captured >= 0 ? captured : OwnSound::now();
    ownSound.heard(now, currentLevel, maxLevel);

    const bool reached = maxLevel <= currentLevel;
    if (!reached && shownTrigger != maxLevel) {
        ui->label_trigger->setText(QStringLiteral("max:") + levelText(maxLevel));
        shownTrigger = maxLevel;
    }
    if (currentLevel >= heldLevel) {
        heldLevel = currentLevel;
        heldReached = reached;
    }
    if (!levelView->isActive() && windowCanBeSeen())
        levelView->start(levelViewMs);

    if (reached && conf.getStoppBySound() && ringing() && soundIsSilent() && !ownSound.audible(now))
        stopRinging("alarm stopped by sound");
    else if (measureRoomInPause && alarm_state == AlarmRinging && !ownSound.audible(now))
        measureRoomNow();
}

// An alarm that rang without measuring the room first (the phone slept
// through the calibration moment, or a late tick skipped it) measures it
// in its first pause, once its own sound has died away, and until the next
// play starts.
void MainWindow::measureRoomNow()
{
    const int left = qMin(ringTimer->remainingTime(), 3000);
    if (readLevel || left < shortestRoomMeasureMs)
        return;
    measureRoomInPause = false;
    beginRoomMeasure(left);
    qWarning("Measuring the room in the first pause: the alarm rang without measuring it first");
}

// A louder level shows at once; a quieter one only once the level shown
// has stood for a moment, and then the loudest heard meanwhile, as a
// meter's peak hold does. The bar repaints itself at once at every change,
// and a steady hum would otherwise move it many times a second.
void MainWindow::showLevel()
{
    if (heldLevel < 0.0)
        return;
    if (heldLevel < shownLevel && shownAt.isValid() && shownAt.elapsed() < levelHoldMs) {
        levelView->start(int(levelHoldMs - shownAt.elapsed()));
        return;
    }
    ui->label_current->setText(
        (heldReached ? QStringLiteral("Reached ") : QStringLiteral("Curent: "))
        + levelText(heldLevel));
    ui->soundBar->setValue(int(float(heldLevel) * 100));
    shownLevel = heldLevel;
    shownAt.start();
    heldLevel = -1.0;
    levelView->stop();
}

// Chunks come over together from the capture thread: the display is brought
// up to date as they come, when it is due, so that the window wakes once
// for both. The timer shows what these leave behind.
void MainWindow::chunksDelivered()
{
    if (windowCanBeSeen() && (!shownAt.isValid() || shownAt.elapsed() >= levelViewMs * 5 / 6))
        showLevel();
}

// Shown, not minimised, on screen, and not behind the lock screen.
bool MainWindow::windowCanBeSeen() const
{
    const QWindow *window = windowHandle();
    return isVisible() && !isMinimized() && window && window->isExposed() && !sessionLock->locked();
}

// The clock's text changes every second. A label that may change its size
// has its layouts run again, up to the tab widget, and that repaints the
// whole window; so the clock keeps the size its layout gave it, and gets a
// new one only when its tab page is resized.
bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Expose && watched == windowHandle()) {
        updateActivity();
    } else if (event->type() == QEvent::Resize) {
        if (watched == ui->tab && clockHeld) {
            clockHeld = false;
            ui->timeLabel->setMinimumSize(clockMinimum);
            ui->timeLabel->setMaximumSize(clockMaximum);
        } else if (watched == ui->timeLabel && !clockHeld) {
            // Once the layout is done with it.
            QTimer::singleShot(0, this, &MainWindow::holdClockSize);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::holdClockSize()
{
    if (clockHeld || !ui->timeLabel->isVisible())
        return;
    ui->timeLabel->setFixedSize(ui->timeLabel->size());
    clockHeld = true;
}

// What was heard while the window could not be seen shows at once.
void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Covered or uncovered, the window is told by its platform window.
    if (QWindow *window = windowHandle())
        window->installEventFilter(this);
    showLevel();
    updateActivity();
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    updateActivity();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        if (!isMinimized())
            showLevel();
        updateActivity();
    }
}

// The alarm's own sound must not stop it: only a pause counts, or a play
// that has ended.
bool MainWindow::soundIsSilent() const
{
    return alarm_state == AlarmRinging
        || (playsDirect ? !directSound->isPlaying() : soundObject->isFinished());
}

void MainWindow::setLevelAverage()
{
    readLevel = false;
    // A window too short to hear the room in (a tick just before the alarm),
    // or one that no chunk reached (the microphone was not delivering),
    // measured nothing: the alarm measures the room in a pause instead.
    // A window that ran its course lasted what it was opened for; one closed
    // early, as long as it was open.
    const qint64 lasted = !roomMeasure.isValid() ? 0
        : calibrationTimer->isActive()           ? roomMeasure.elapsed()
                                                 : roomWindowMs;
    if (roomChunks == 0 || lasted < shortestRoomMeasureMs) {
        roomMeasured = false;
        measureRoomInPause = ringing();
        return;
    }
    if (prevLevel != 0.0)
        maxLevel = prevLevel * 1.2;
    if (maxLevel > 1.0)
        maxLevel = 1.0;
    if (maxLevel < 0.5)
        maxLevel = maxLevel * 1.5;
    if (maxLevel < 0.15)
        maxLevel = 0.15;
    roomMeasured = true;
}

// ---- Motion -----------------------------------------------------------------

void MainWindow::readSensorAcc()
{
    const QAccelerometerReading *reading = sensorAcc.reading();
    if (!reading)
        return;
    accX = reading->x();
    accY = reading->y();
    accZ = reading->z();
    // A shake is judged by how far the reading is from the phone at rest:
    // gravity alone reads 9.8 on some axis, and must not stop the alarm.
    const qreal axes[] = { accX, accY, accZ };
    qreal offRest[3] = { 0.0, 0.0, 0.0 };
    settleRest(axes, offRest);
    motionLive = true;

    if (!conf.getStoppByAccelerometer() || !ringing())
        return;
    ui->testLabel->setText(QString::number(conf.getSensitivityAccelerometer()));
    // The slider starts at 1, and a stored 0 shows as 1 there.
    const int limit = 5 * qMax(1, conf.getSensitivityAccelerometer());
    for (const qreal axis : offRest) {
        // Out-of-range values would not convert; they are shakes all the same.
        if (std::isnan(axis))
            continue;
        const int value = QVariant(qBound(-1.0e6, axis, 1.0e6)).toInt();
        if (qAbs(value) > limit) {
            stopRinging("alarm stopped by shake");
            return;
        }
    }
}

// The phone at rest is a slow average of its readings, gravity included:
// one laid down another way is at rest again within seconds, while a shake
// hardly moves it. `offRest` is how far this reading is from the rest
// before it; the first reading, or the first after the sensor failed or
// paused, is the rest itself.
void MainWindow::settleRest(const qreal axes[3], qreal offRest[3])
{
    const qint64 sinceLast = restClock.isValid() && motionLive ? restClock.restart() : -1;
    if (sinceLast < 0)
        restClock.start();
    const qreal weight = sinceLast < 0 ? 1.0 : qMin(1.0, qreal(sinceLast) / restSettleMs);
    for (int i = 0; i < 3; ++i) {
        if (std::isnan(axes[i]) || std::isinf(axes[i])) {
            offRest[i] = axes[i];
            continue;
        }
        if (sinceLast < 0 || std::isnan(rest[i]))
            rest[i] = axes[i];
        offRest[i] = axes[i] - rest[i];
        rest[i] += (axes[i] - rest[i]) * weight;
    }
}

void MainWindow::readSensorOri()
{
    const QOrientationReading *reading = sensorOri.reading();
    if (!reading)
        return;
    const int orientation = reading->orientation();
    ui->testLabel->setText(QString::number(orientation));

    if (!conf.getStoppByOrientation() || !ringing())
        return;
    const bool flipped = ori % 2 == 0 ? orientation == ori - 1 : orientation == ori + 1;
    if (flipped)
        stopRinging("alarm stopped by flip");
}

void MainWindow::readInitialOri()
{
    const QOrientationReading *reading = sensorOri.reading();
    ori = reading && motionLive ? int(reading->orientation()) : 0;
    qWarning() << QStringLiteral("Initial Orientation: ") + QString::number(ori);
}

// ---- Shared steps -----------------------------------------------------------

bool MainWindow::ringing() const
{
    return alarm_state == AlarmRinging || alarm_state == AlarmPlaying;
}

void MainWindow::stopRinging(const char *reason)
{
    unsetAlarmTime();
    soundObject->stop();
    qWarning("%s", reason);
}

// ---- Settings tab -----------------------------------------------------------

void MainWindow::generalInitialization()
{
    ui->testLabel->hide();
    ui->label_trigger->hide();
    ui->label_current->hide();

    for (const char *builtin : builtinNames)
        ui->soundComboBox->addItem(QLatin1String(builtin));
    const QString stored = conf.getSoundFileName();
    for (int i = 0; i < ui->soundComboBox->count(); ++i) {
        if (ui->soundComboBox->itemText(i) == stored) {
            ui->soundComboBox->setCurrentIndex(i);
            qWarning() << QStringLiteral("current combobox item: ")
                    + ui->soundComboBox->itemText(i);
            break;
        }
    }
    if (ui->soundComboBox->currentText() != stored) {
        ui->soundComboBox->addItem(stored);
        selectStoredSound();
    }

    const QTime time = QTime::fromString(conf.getTime(), Qt::TextDate);
    if (time.isValid())
        ui->selectedTime->setTime(time);

    resetSettings();
}

void MainWindow::resetSettings()
{
    ui->stopBySound->setChecked(conf.getStoppBySound());
    ui->stopByShake->setChecked(conf.getStoppByAccelerometer());
    ui->stopByFlip->setChecked(conf.getStoppByOrientation());
    ui->sensitivitySlider->setValue(conf.getSensitivityAccelerometer());
    // The label follows the slider only on a change; show the value even
    // when the stored one equals the slider's.
    ui->sensitivityLabel->setNum(ui->sensitivitySlider->value());
    selectStoredSound();
}

void MainWindow::applySettings()
{
    conf.setSoundFileName(ui->soundComboBox->currentText());
    conf.setStoppBySound(ui->stopBySound->isChecked());
    conf.setStoppByAccelerometer(ui->stopByShake->isChecked());
    conf.setStoppByOrientation(ui->stopByFlip->isChecked());
    conf.setSensitivityAccelerometer(ui->sensitivitySlider->value());
    initializeAlarm();
}

// Makes each item naming the stored sound current in turn, so the last
// match wins; with no match the selection stays.
void MainWindow::selectStoredSound()
{
    const QString stored = conf.getSoundFileName();
    for (int i = 0; i < ui->soundComboBox->count(); ++i) {
        if (ui->soundComboBox->itemText(i) == stored)
            ui->soundComboBox->setCurrentIndex(i);
    }
}
