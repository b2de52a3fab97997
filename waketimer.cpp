#include "waketimer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// Beside the program in the build tree, under libexec once installed.
QString helperPath()
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString &path : { here + QStringLiteral("/alarmclock-wake"),
             here + QStringLiteral("/" ALARMCLOCK_HELPER_FROM_BINDIR "/alarmclock-wake") }) {
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

} // namespace

WakeTimer::WakeTimer(QObject *parent)
    : QObject(parent)
    , helper(nullptr)
    , helperIdle(new QTimer(this))
    , ownTimer(-1)
    , ownTimerNotifier(nullptr)
    , armedAt(0)
    , notPermitted(false)
    , wakes(true)
    , helperRestart(new QTimer(this))
    , restartDelayMs(0)
{
    restarted.invalidate();
    helperRestart->setSingleShot(true);
    connect(helperRestart, &QTimer::timeout, this, &WakeTimer::restartHelper);
    // An alarm set again at once keeps its helper; an unset one lets it go.
    helperIdle->setSingleShot(true);
    helperIdle->setInterval(1000);
    connect(helperIdle, &QTimer::timeout, this, &WakeTimer::endHelper);
}

WakeTimer::~WakeTimer()
{
    disarm();
    endHelper();
}

qint64 WakeTimer::helperProcessId() const
{
    return helper ? helper->processId() : 0;
}

void WakeTimer::arm(qint64 seconds)
{
    helperIdle->stop();
    if (seconds == armedAt && (helper || ownTimer >= 0))
        return;
    armedAt = seconds;
    if (!helper && ownTimer < 0 && !startHelper())
        startOwnTimer();
    if (!reason.isEmpty())
        explain(reason);
    if (helper) {
        helper->write("at " + QByteArray::number(seconds) + '\n');
    } else if (ownTimer >= 0) {
        itimerspec when {};
        when.it_value.tv_sec = time_t(seconds);
        timerfd_settime(ownTimer, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr);
    }
}

// Called at every tick while nothing is armed: only the first call after a
// moment tells the helper, and the helper's idle time is counted from then.
void WakeTimer::disarm()
{
    const bool wasArmed = armedAt != 0;
    armedAt = 0;
    helperRestart->stop();
    restartDelayMs = 0;
    if (helper) {
        if (wasArmed)
            helper->write("off\n");
        if (!helperIdle->isActive())
            helperIdle->start();
    }
    stopOwnTimer();
}

void WakeTimer::stopOwnTimer()
{
    if (ownTimer < 0)
        return;
    delete ownTimerNotifier;
    ownTimerNotifier = nullptr;
    close(ownTimer);
    ownTimer = -1;
}

void WakeTimer::endHelper()
{
    if (!helper)
        return;
    // Closing its input ends the helper, and with it the timer; one that
    // has not ended a second later is killed. Nothing waits for it here.
    QProcess *ending = helper;
    helper = nullptr;
    reason.clear();
    ending->disconnect(this);
    ending->closeWriteChannel();
    if (ending->state() == QProcess::NotRunning) {
        ending->deleteLater();
        return;
    }
    connect(ending, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), ending,
        &QObject::deleteLater);
    QTimer::singleShot(endGraceMs, ending, [ending] { ending->kill(); });
}

bool WakeTimer::startHelper()
{
    const QString path = helperPath();
    if (path.isEmpty())
        return false;
    // Installed, only the members of its group may run it.
    if (!QFileInfo(path).isExecutable()) {
        notPermitted = true;
        return false;
    }
    helper = new QProcess(this);
    // The helper needs nothing from the environment, and must not take
    // libraries to preload from it. An empty environment would mean "inherit"
    // to QProcess, so it holds one harmless variable: the C locale for the
    // helper's error texts, which reach the log.
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    helper->setProcessEnvironment(environment);
    helper->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(helper, &QProcess::readyReadStandardOutput, this, &WakeTimer::readHelper);
    connect(helper, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        &WakeTimer::helperFinished);
    connect(helper, &QProcess::errorOccurred, this, &WakeTimer::helperFailed);
    reason.clear();
    restarted.start();
    // What is written to it meanwhile waits until it runs.
    helper->start(path, QStringList());
    return true;
}

// A helper that would not start: the program's own timer stands in, and
// holds the armed moment.
void WakeTimer::helperFailed(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || !helper)
        return;
    helper->disconnect(this);
    helper->deleteLater();
    helper = nullptr;
    const qint64 moment = armedAt;
    armedAt = 0;
    startOwnTimer();
    if (moment != 0)
        arm(moment);
}

// The helper ended without being asked to (killed, crashed). An armed moment
// gets a new helper at once; one that dies again soon after gets the next
// one later, and until then the program's own timer rings the alarm, but
// cannot wake the phone.
void WakeTimer::helperFinished(int exitCode, QProcess::ExitStatus status)
{
    const QString how = status == QProcess::CrashExit
        ? QStringLiteral("was killed or crashed")
        : QStringLiteral("ended with status %1").arg(exitCode);
    helper->disconnect(this);
    helper->deleteLater();
    helper = nullptr;
    reason.clear();
    helperIdle->stop();
    const qint64 moment = armedAt;
    if (moment == 0)
        return;
    armedAt = 0;
    // Deaths long apart are each the first.
    if (!restarted.isValid() || restarted.elapsed() > restartWindowMs)
        restartDelayMs = 0;
    const int delay = takeRestartDelay();
    if (delay == 0 && startHelper()) {
        arm(moment);
        return;
    }
    startOwnTimer();
    reason = QStringLiteral("the wake helper alarmclock-wake ") + how;
    arm(moment);
    helperRestart->start(qMax(1000, delay));
}

// The wait before this restart; the next one waits twice as long, from 1 s
// up to the longest.
int WakeTimer::takeRestartDelay()
{
    const int delay = restartDelayMs;
    restartDelayMs = qBound(1000, restartDelayMs * 2, int(longestRestartDelayMs));
    return delay;
}

void WakeTimer::restartHelper()
{
    const qint64 moment = armedAt;
    if (moment == 0 || helper)
        return;
    stopOwnTimer();
    armedAt = 0;
    if (!startHelper()) {
        helperRestart->start(takeRestartDelay());
        startOwnTimer();
    }
    arm(moment);
}

void WakeTimer::readHelper()
{
    while (helper && helper->canReadLine()) {
        const QByteArray line = helper->readLine().trimmed();
        // Only the moment armed now: a helper may have fired for one it was
        // told before the latest.
        if (line.startsWith("fired ")) {
            if (line.mid(6).toLongLong() == armedAt)
                fire();
        } else if (line == "clock-changed") {
            emit clockChanged();
        } else if (line == "wake") {
            setCanWake(true);
        } else if (line.startsWith("nowake ")) {
            reason = QString::fromUtf8(line.mid(7));
            setCanWake(false);
            if (armedAt != 0)
                explain(reason);
        }
    }
}

// Where the helper cannot run, a timer of the wall clock in the program
// itself: it fires while the phone is awake, but cannot wake it.
void WakeTimer::startOwnTimer()
{
    reason = notPermitted
        ? QStringLiteral("this user may not run the wake helper alarmclock-wake (only the members "
                         "of the group alarmclock-wake may)")
        : QStringLiteral("the wake helper alarmclock-wake was not found or would not start");
    setCanWake(false);
    if (ownTimer >= 0)
        return;
    ownTimer = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    if (ownTimer < 0)
        return;
    ownTimerNotifier = new QSocketNotifier(ownTimer, QSocketNotifier::Read, this);
    connect(ownTimerNotifier, &QSocketNotifier::activated, this, &WakeTimer::readOwnTimer);
}

void WakeTimer::readOwnTimer()
{
    quint64 expirations = 0;
    if (read(ownTimer, &expirations, sizeof expirations) == sizeof expirations) {
        fire();
    } else if (errno == ECANCELED) {
        const qint64 moment = armedAt;
        armedAt = 0;
        arm(moment);
        emit clockChanged();
    }
}

void WakeTimer::fire()
{
    const qint64 moment = armedAt;
    armedAt = 0;
    emit fired(moment);
}

void WakeTimer::setCanWake(bool can)
{
    if (can == wakes)
        return;
    wakes = can;
    emit canWakeChanged(can);
}

// Said once a run for each reason, not at every alarm.
void WakeTimer::explain(const QString &why)
{
    if (why == told)
        return;
    told = why;
    qWarning("%s",
        qPrintable(
            QStringLiteral("The phone will not be woken from suspend for this alarm: ") + why));
}
