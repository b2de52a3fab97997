#include "sessionlock.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace {

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString login1Session = QStringLiteral("org.freedesktop.login1.Session");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString screenSaver = QStringLiteral("org.gnome.ScreenSaver");
const QString screenSaverPath = QStringLiteral("/org/gnome/ScreenSaver");

} // namespace

SessionLock::SessionLock(QObject *parent)
    : QObject(parent)
    , lockedHint(false)
    , screenSaverActive(false)
{
    // "auto" is the caller's own session, or the user's session at the
    // display when the program runs as a service outside any session.
    QDBusMessage find
        = QDBusMessage::createMethodCall(login1, QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSession"));
    find.setArguments({ QStringLiteral("auto") });
    auto *found = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(find), this);
    connect(found, &QDBusPendingCallWatcher::finished, this, &SessionLock::sessionFound);

    QDBusConnection session = QDBusConnection::sessionBus();
    session.connect(screenSaver, screenSaverPath, screenSaver, QStringLiteral("ActiveChanged"),
        this, SLOT(screenSaverChanged(bool)));
    auto *active = new QDBusPendingCallWatcher(
        session.asyncCall(QDBusMessage::createMethodCall(
            screenSaver, screenSaverPath, screenSaver, QStringLiteral("GetActive"))),
        this);
    connect(active, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<bool> reply = *w;
        if (!reply.isError())
            set(&screenSaverActive, reply.value());
    });
}

void SessionLock::sessionFound(QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
    if (reply.isError())
        return;
    sessionPath = reply.value().path();
    QDBusConnection::systemBus().connect(login1, sessionPath, properties,
        QStringLiteral("PropertiesChanged"), this,
        SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    askLockedHint();
}

void SessionLock::askLockedHint()
{
    QDBusMessage get
        = QDBusMessage::createMethodCall(login1, sessionPath, properties, QStringLiteral("Get"));
    get.setArguments({ login1Session, QStringLiteral("LockedHint") });
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (!reply.isError())
            set(&lockedHint, reply.value().variant().toBool());
    });
}

void SessionLock::sessionPropertiesChanged(
    const QString &interface, const QVariantMap &changed, const QStringList &invalidated)
{
    if (interface != login1Session)
        return;
    const auto hint = changed.constFind(QStringLiteral("LockedHint"));
    if (hint != changed.constEnd())
        set(&lockedHint, hint.value().toBool());
    else if (invalidated.contains(QStringLiteral("LockedHint")))
        askLockedHint();
}

void SessionLock::screenSaverChanged(bool active)
{
    set(&screenSaverActive, active);
}

void SessionLock::set(bool *field, bool value)
{
    const bool was = locked();
    *field = value;
    if (locked() != was)
        emit lockedChanged(locked());
}
