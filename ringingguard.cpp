#include "ringingguard.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

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
const QString notifications = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");

// The session manager's flags: keep the session from suspending, and from
// going idle (the screen blanking and locking, and the suspend after it).
const uint inhibitSuspend = 4;
const uint inhibitIdle = 8;

// Notifications of this urgency show on the lock screen and wake the screen.
const uchar urgencyCritical = 2;

// Gives back what a session service handed out (an inhibitor's cookie, a
// notification's id); these services name their interface as themselves.
void giveBack(const QString &service, const QString &path, const QString &method, uint cookie)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, service, method);
    message.setArguments({ cookie });
    QDBusConnection::sessionBus().send(message);
}

} // namespace

RingingGuard::RingingGuard(QObject *parent)
    : QObject(parent)
    , held(false)
    , generation(0)
    , sessionCookie(0)
    , screenSaverCookie(0)
    , notification(0)
{
    // Only the notification server speaks for the person: the bus matches
    // these signals to whoever owns its name now.
    QDBusConnection::sessionBus().connect(notifications, notificationsPath, notifications,
        QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    QDBusConnection::sessionBus().connect(notifications, notificationsPath, notifications,
        QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
}

RingingGuard::~RingingGuard()
{
    release();
}

void RingingGuard::acquire(const QString &alarmTime)
{
    if (held)
        return;
    held = true;
    ++generation;
    call(login1, login1Path, login1Manager, QStringLiteral("Inhibit"),
        { QStringLiteral("sleep:idle"), appId, reason, QStringLiteral("block") }, true,
        &RingingGuard::sleepLockTaken);
    call(sessionManager, sessionManagerPath, sessionManager, QStringLiteral("Inhibit"),
        { appId, uint(0), reason, inhibitSuspend | inhibitIdle }, false,
        &RingingGuard::sessionLockTaken);
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(urgencyCritical));
    hints.insert(QStringLiteral("desktop-entry"), appId);
    call(notifications, notificationsPath, notifications, QStringLiteral("Notify"),
        { tr("Alarm Clock"), uint(0), appId, tr("Alarm"), alarmTime.left(5),
            QStringList { QStringLiteral("stop"), tr("Stop Alarm") }, hints, 0 },
        false, &RingingGuard::notificationShown);
}

void RingingGuard::release()
{
    if (!held)
        return;
    held = false;
    ++generation;
    // Dropping the last copy of the descriptor lets logind go.
    sleepLock = QDBusUnixFileDescriptor();
    if (sessionCookie)
        giveBack(sessionManager, sessionManagerPath, QStringLiteral("Uninhibit"), sessionCookie);
    if (screenSaverCookie)
        giveBack(screenSaver, screenSaverPath, QStringLiteral("UnInhibit"), screenSaverCookie);
    if (notification)
        giveBack(
            notifications, notificationsPath, QStringLiteral("CloseNotification"), notification);
    sessionCookie = screenSaverCookie = notification = 0;
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
    if (reply.isError())
        missing("sleep", reply.error().message());
    else if (watcher->property("generation").toInt() == generation)
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
    if (error.isValid())
        missing("session", error.message());
}

void RingingGuard::notificationShown(QDBusPendingCallWatcher *watcher)
{
    const QDBusError error = keep(watcher, &notification, notifications, notificationsPath,
        QStringLiteral("CloseNotification"));
    if (error.isValid())
        missing("notification", error.message());
}

// Keeps the cookie an answer carries when it belongs to the current
// ringing, and gives it back at once when that alarm has already stopped.
// The service's error, if it failed.
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

// Only for the notification the server said it showed: an id of 0 is none.
void RingingGuard::actionInvoked(uint id, const QString &key)
{
    if (held && notification != 0 && id == notification && key == QLatin1String("stop"))
        emit stopRequested();
}

// A closed notification's id may be handed out again, to another program's.
void RingingGuard::notificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason)
    if (notification != 0 && id == notification)
        notification = 0;
}

// Said once a run for each thing the phone cannot do.
void RingingGuard::missing(const char *what, const QString &error)
{
    const QString key = QLatin1String(what);
    if (reported.contains(QLatin1Char('|') + key + QLatin1Char('|')))
        return;
    reported += QLatin1Char('|') + key + QLatin1Char('|');
    QString text;
    if (key == QLatin1String("sleep"))
        text = QStringLiteral("Cannot keep the phone from sleeping while the alarm rings: ");
    else if (key == QLatin1String("session"))
        text = QStringLiteral(
            "Cannot keep the session from suspending or going idle while the alarm rings: ");
    else
        text = QStringLiteral("Cannot show the ringing alarm on the lock screen: ");
    qWarning("%s", qPrintable(text + error));
}
