#include "ringingguard.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QTimer>

namespace {

const QString appId = QStringLiteral(ALARMCLOCK_APP_ID);
const QString reason = QStringLiteral("An alarm is ringing");

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1Manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionManager = QStringLiteral("org.gnome.SessionManager");
const QString sessionManagerPath = QStringLiteral("/org/gnome/SessionManager");
const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString screenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");

// The session manager's flags: keep the session from suspending, and from
// going idle (the screen blanking and locking, and the suspend after it).
const uint inhibitSuspend = 4;
const uint inhibitIdle = 8;

// Gives back what a session service handed out (an inhibitor's cookie);
// these services name their interface as themselves.
void giveBack(const QString &service, const QString &path, const QString &method, uint cookie)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, service, method);
    message.setArguments({ cookie });
    QDBusConnection::sessionBus().send(message);
}

// Errors that asking again cannot mend: the service exists and said no, or
// there is no bus at all. Anything else (a service not there yet, one that
// is busy, or logind's refusal while a suspend is still winding down) may
// pass.
bool lasting(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::AccessDenied:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownObject:
    case QDBusError::InvalidArgs:
    case QDBusError::NotSupported:
    case QDBusError::Disconnected:
        return true;
    default:
        return false;
    }
}

} // namespace

RingingGuard::RingingGuard(QObject *parent)
    : QObject(parent)
    , holding(false)
    , generation(0)
    , sessionCookie(0)
    , screenSaverCookie(0)
    , sleepTries(0)
    , sessionTries(0)
{
}

RingingGuard::~RingingGuard()
{
    release();
}

void RingingGuard::keepAwake()
{
    if (holding)
        return;
    holding = true;
    ++generation;
    sleepTries = sessionTries = 0;
    askSleepLock();
    askSessionLock();
}

void RingingGuard::release()
{
    if (!holding)
        return;
    holding = false;
    ++generation;
    // Dropping the last copy of the descriptor lets logind go.
    sleepLock = QDBusUnixFileDescriptor();
    if (sessionCookie)
        giveBack(sessionManager, sessionManagerPath, QStringLiteral("Uninhibit"), sessionCookie);
    if (screenSaverCookie)
        giveBack(screenSaver, screenSaverPath, QStringLiteral("UnInhibit"), screenSaverCookie);
    sessionCookie = screenSaverCookie = 0;
}

void RingingGuard::askSleepLock()
{
    call(login1, login1Path, login1Manager, QStringLiteral("Inhibit"),
        { QStringLiteral("sleep:idle"), appId, reason, QStringLiteral("block") }, true,
        &RingingGuard::sleepLockTaken);
}

void RingingGuard::askSessionLock()
{
    call(sessionManager, sessionManagerPath, sessionManager, QStringLiteral("Inhibit"),
        { appId, uint(0), reason, inhibitSuspend | inhibitIdle }, false,
        &RingingGuard::sessionLockTaken);
}

void RingingGuard::call(const QString &service, const QString &path, const QString &interface,
    const QString &method, const QVariantList &arguments, bool system,
    void (RingingGuard::*answered)(QDBusPendingCallWatcher *))
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    const QDBusConnection bus
        = system ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    watcher->setProperty("generation", generation);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, answered);
}

void RingingGuard::sleepLockTaken(QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
    if (watcher->property("generation").toInt() != generation)
        return;
    if (reply.isError())
        refused("sleep", reply.error(), &sleepTries, &RingingGuard::askSleepLock);
    else
        sleepLock = reply.value();
}

void RingingGuard::sessionLockTaken(QDBusPendingCallWatcher *watcher)
{
    const QDBusError error = keep(
        watcher, &sessionCookie, sessionManager, sessionManagerPath, QStringLiteral("Uninhibit"));
    // Outside GNOME's session manager, the portable idle lock.
    if (error.isValid() && watcher->property("generation").toInt() == generation)
        call(screenSaver, screenSaverPath, screenSaver, QStringLiteral("Inhibit"),
            { appId, reason }, false, &RingingGuard::screenSaverLockTaken);
}

void RingingGuard::screenSaverLockTaken(QDBusPendingCallWatcher *watcher)
{
    const QDBusError error = keep(
        watcher, &screenSaverCookie, screenSaver, screenSaverPath, QStringLiteral("UnInhibit"));
    if (error.isValid() && watcher->property("generation").toInt() == generation)
        refused("session", error, &sessionTries, &RingingGuard::askSessionLock);
}

// Keeps the cookie an answer carries when it belongs to the current hold,
// and gives it back at once when that alarm has already stopped. The
// service's error, if it failed.
QDBusError RingingGuard::keep(QDBusPendingCallWatcher *watcher, uint *cookie,
    const QString &service, const QString &path, const QString &giveBackMethod)
{
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    if (reply.isError())
        return reply.error();
    if (watcher->property("generation").toInt() == generation)
        *cookie = reply.value();
    else
        giveBack(service, path, giveBackMethod, reply.value());
    return QDBusError();
}

// Said once; asked again a little later while the alarm lasts, unless the
// refusal will not pass.
void RingingGuard::refused(
    const char *what, const QDBusError &error, int *tries, void (RingingGuard::*ask)())
{
    missing(what, error.message());
    if (lasting(error) || ++*tries > retries)
        return;
    const int asked = generation;
    QTimer::singleShot(retryMs, this, [this, asked, ask] {
        if (holding && asked == generation)
            (this->*ask)();
    });
}

// Said once a run for each thing the phone cannot do.
void RingingGuard::missing(const char *what, const QString &error)
{
    const QString key = QLatin1String(what);
    if (reported.contains(QLatin1Char('|') + key + QLatin1Char('|')))
        return;
    reported += QLatin1Char('|') + key + QLatin1Char('|');
    const QString text = key == QLatin1String("sleep")
        ? QStringLiteral("Cannot keep the phone from sleeping while the alarm rings: ")
        : QStringLiteral(
            "Cannot keep the session from suspending or going idle while the alarm rings: ");
    qWarning("%s", qPrintable(text + error));
}
