#include "notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace {

const QString appId = QStringLiteral(ALARMCLOCK_APP_ID);
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

// Notifications of this urgency show on the lock screen and wake the screen.
const uchar urgencyNormal = 1;
const uchar urgencyCritical = 2;

void closeNotification(uint id)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, path, service, QStringLiteral("CloseNotification"));
    message.setArguments({ id });
    QDBusConnection::sessionBus().send(message);
}

} // namespace

Notifier::Notifier(QObject *parent)
    : QObject(parent)
    , id(0)
    , wanted(false)
    , request(0)
    , toldMissing(false)
    , missed(false)
    , urgency(urgencyNormal)
    , resident(false)
    , serverWatcher(new QDBusServiceWatcher(
          service, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForOwnerChange, this))
{
    connect(
        serverWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &Notifier::serverChanged);
    // Only the notification server speaks for the person: the bus matches
    // these signals to whoever owns its name now.
    QDBusConnection::sessionBus().connect(service, path, service, QStringLiteral("ActionInvoked"),
        this, SLOT(actionInvoked(uint, QString)));
    QDBusConnection::sessionBus().connect(service, path, service,
        QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
}

// A missed alarm's notification outlives the program, which may end as soon
// as it has shown it; any other speaks for a program that is gone.
Notifier::~Notifier()
{
    if (!missed)
        close();
}

void Notifier::showArmed(const QString &alarmTime, const QString &note)
{
    notify(tr("Alarm set for %1").arg(alarmTime.left(5)), note,
        { QStringLiteral("unset"), tr("Unset Alarm"), QStringLiteral("default"),
            tr("Alarm Clock") },
        urgencyNormal, true);
}

void Notifier::showRinging(const QString &alarmTime, const QString &note)
{
    notify(tr("Alarm"),
        note.isEmpty() ? alarmTime.left(5)
                       : QStringLiteral("%1 \u2014 %2").arg(alarmTime.left(5), note),
        { QStringLiteral("stop"), tr("Stop Alarm") }, urgencyCritical, false);
}

void Notifier::showMissed(const QString &alarmTime)
{
    notify(tr("Missed alarm %1").arg(alarmTime.left(5)), QString(), QStringList(), urgencyNormal,
        false);
    missed = true;
}

void Notifier::close()
{
    ++request;
    wanted = false;
    missed = false;
    if (id)
        closeNotification(id);
    id = 0;
}

void Notifier::notify(const QString &summary, const QString &body, const QStringList &actions,
    uchar urgency, bool resident)
{
    this->summary = summary;
    this->body = body;
    this->actions = actions;
    this->urgency = urgency;
    this->resident = resident;
    missed = false;
    send();
}

void Notifier::send()
{
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(urgency));
    hints.insert(QStringLiteral("desktop-entry"), appId);
    if (resident)
        hints.insert(QStringLiteral("resident"), true);
    QDBusMessage message
        = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    // An alarm set or ringing stays until it is dealt with; a missed one
    // goes when the server sees fit.
    const int timeout = urgency == urgencyCritical || resident ? 0 : -1;
    message.setArguments({ tr("Alarm Clock"), id, appId, summary, body, actions, hints, timeout });
    wanted = true;
    auto *watcher
        = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), this);
    watcher->setProperty("request", ++request);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &Notifier::shown);
}

// Keeps the id of the latest notification; one asked for before it, or
// before the notification was taken away, is closed at once.
void Notifier::shown(QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    if (formerServers.contains(reply.reply().service())) {
        // An old server's id means nothing to the new one.
    } else if (reply.isError()) {
        if (!toldMissing) {
            toldMissing = true;
            qWarning("%s",
                qPrintable(QStringLiteral("Cannot show the alarm on the lock screen: ")
                    + reply.error().message()));
        }
    } else if (watcher->property("request").toInt() == request && wanted) {
        id = reply.value();
    } else if (reply.value() != id) {
        closeNotification(reply.value());
    }
    emit answered();
}

// The notification shown went with the old server; the new one shows it
// again, if it is still wanted.
void Notifier::serverChanged(const QString &, const QString &oldOwner, const QString &newOwner)
{
    if (!oldOwner.isEmpty())
        formerServers.append(oldOwner);
    id = 0;
    if (wanted && !newOwner.isEmpty())
        send();
}

// Only for the notification the server said it showed: an id of 0 is none.
void Notifier::actionInvoked(uint invoked, const QString &key)
{
    if (id != 0 && invoked == id)
        emit chosen(key);
}

// A closed notification's id may be handed out again, to another program's.
void Notifier::notificationClosed(uint closed, uint reason)
{
    Q_UNUSED(reason)
    if (id != 0 && closed == id)
        id = 0;
}
