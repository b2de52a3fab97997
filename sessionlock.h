#ifndef SESSIONLOCK_H
#define SESSIONLOCK_H

#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusPendingCallWatcher;

// Whether the session is locked: logind's lock hint for this session, or
// a GNOME-style screen saver that says it is active (a phone shell's lock
// screen sets both). Followed through their change signals; a service that
// is missing counts as unlocked, and nothing here ever waits for an answer.
class SessionLock : public QObject {
    Q_OBJECT

public:
    explicit SessionLock(QObject *parent = nullptr);

    bool locked() const { return lockedHint || screenSaverActive; }

signals:
    void lockedChanged(bool locked);

private slots:
    void sessionPropertiesChanged(
        const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void screenSaverChanged(bool active);

private:
    void sessionFound(QDBusPendingCallWatcher *watcher);
    void askLockedHint();
    void set(bool *field, bool value);

    QString sessionPath;
    bool lockedHint;
    bool screenSaverActive;
};

#endif // SESSIONLOCK_H
