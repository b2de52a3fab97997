#ifndef RINGINGGUARD_H
#define RINGINGGUARD_H

#include <QDBusError>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;
class QTimer;

// Keeps the phone and the session awake from the moment the phone wakes
// for the alarm until the alarm stops: logind's sleep lock, and the session
// manager's suspend and idle lock (or the portable idle lock where there is
// no session manager). A lock refused for a while (logind refuses new locks
// right after a resume; a service may start later) is asked for again, a
// few times. Every service may be missing; then the log says so once, and
// the alarm rings all the same. Nothing here ever waits for an answer.
class RingingGuard : public QObject {
    Q_OBJECT

public:
    // How often, and how far apart, a refused lock is asked for again.
    static const int retries = 5;
    static const int retryMs = 2000;

    explicit RingingGuard(QObject *parent = nullptr);
    ~RingingGuard() override;

    // From the wake-up or the calibration moment, whichever comes first.
    void keepAwake();
    // When the alarm stops, by whatever means: let go of everything.
    void release();
    bool held() const { return holding; }

private:
    void askSleepLock();
    void askSessionLock();
    void call(const QString &service, const QString &path, const QString &interface,
        const QString &method, const QVariantList &arguments, bool system,
        void (RingingGuard::*answered)(QDBusPendingCallWatcher *));
    void sleepLockTaken(QDBusPendingCallWatcher *watcher);
    void sessionLockTaken(QDBusPendingCallWatcher *watcher);
    void screenSaverLockTaken(QDBusPendingCallWatcher *watcher);
    QDBusError keep(QDBusPendingCallWatcher *watcher, uint *cookie, const QString &service,
        const QString &path, const QString &giveBackMethod);
    void refused(
        const char *what, const QDBusError &error, int *tries, void (RingingGuard::*ask)());
    void missing(const char *what, const QString &error);

    bool holding;
    // The answers that belong to the current hold; late answers for an
    // alarm already stopped are undone at once.
    int generation;
    QDBusUnixFileDescriptor sleepLock;
    uint sessionCookie;
    uint screenSaverCookie;
    int sleepTries;
    int sessionTries;
    QString reported;
};

#endif // RINGINGGUARD_H
