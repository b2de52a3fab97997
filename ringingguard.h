#ifndef RINGINGGUARD_H
#define RINGINGGUARD_H

#include <QDBusError>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

// What keeps a ringing alarm heard on a phone: the system and the session
// kept from sleeping, and a notification that shows on the lock screen,
// turns the screen on and offers "Stop Alarm". Every service it asks may be
// missing; then it says so once in the log, and the alarm rings all the
// same. Nothing here ever waits for an answer.
class RingingGuard : public QObject {
    Q_OBJECT

public:
    explicit RingingGuard(QObject *parent = nullptr);
    ~RingingGuard() override;

    // From the first play: take the locks, show the notification for the
    // alarm time given.
    void acquire(const QString &alarmTime);
    // When the alarm stops, by whatever means: let go of everything.
    void release();

signals:
    // The notification's "Stop Alarm" was chosen.
    void stopRequested();

private slots:
    void actionInvoked(uint id, const QString &key);
    void notificationClosed(uint id, uint reason);

private:
    void call(const QString &service, const QString &path, const QString &interface,
        const QString &method, const QVariantList &arguments, bool system,
        void (RingingGuard::*answered)(QDBusPendingCallWatcher *));
    void sleepLockTaken(QDBusPendingCallWatcher *watcher);
    void sessionLockTaken(QDBusPendingCallWatcher *watcher);
    void screenSaverLockTaken(QDBusPendingCallWatcher *watcher);
    void notificationShown(QDBusPendingCallWatcher *watcher);
    QDBusError keep(QDBusPendingCallWatcher *watcher, uint *cookie, const QString &service,
        const QString &path, const QString &giveBackMethod);
    void missing(const char *what, const QString &error);

    bool held;
    // The answers that belong to the current ringing; late answers for an
    // alarm already stopped are undone at once.
    int generation;
    QDBusUnixFileDescriptor sleepLock;
    uint sessionCookie;
    uint screenSaverCookie;
    uint notification;
    QString reported;
};

#endif // RINGINGGUARD_H
