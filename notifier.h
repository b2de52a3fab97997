#ifndef NOTIFIER_H
#define NOTIFIER_H

#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// The alarm's one notification at a time, through the desktop's
// notification server: the alarm that is set while the window is closed,
// the ringing alarm on the lock screen, or an alarm that was missed. A new
// one replaces the one shown. Only the notification server's own signals,
// for the notification it said it showed, count as a person's choice.
// Where there is no notification server, the log says so once. A server
// that restarts (the shell did) knows nothing of the notification shown
// on the old one: its id is forgotten, never sent to the new server, and
// the notification is shown there anew.
class Notifier : public QObject {
    Q_OBJECT

public:
    explicit Notifier(QObject *parent = nullptr);
    ~Notifier() override;

    // "Alarm set for 07:30", resident, with "Unset Alarm" and, as its
    // default action, the window; `note` is its body.
    void showArmed(const QString &alarmTime, const QString &note = QString());
    // "Alarm", "07:30", critical, with "Stop Alarm": shown on the lock
    // screen, and it turns the screen on.
    // With a `note`, the body says it after the time.
    void showRinging(const QString &alarmTime, const QString &note = QString());
    // "Missed alarm 07:30".
    void showMissed(const QString &alarmTime);
    // Takes the notification away.
    void close();
    // Whether a notification is asked for or shown.
    bool showing() const { return wanted; }

signals:
    // The person chose an action: "stop", "unset" or "default".
    void chosen(const QString &key);
    // The notification server has answered the last request, either way.
    void answered();

private slots:
    void actionInvoked(uint id, const QString &key);
    void notificationClosed(uint id, uint reason);
    void serverChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    void notify(const QString &summary, const QString &body, const QStringList &actions,
        uchar urgency, bool resident);
    void send();
    void shown(QDBusPendingCallWatcher *watcher);

    // What the server called the notification shown; 0 for none.
    uint id;
    bool wanted;
    // The answer that belongs to the latest request; older ones are undone.
    int request;
    bool toldMissing;
    // The notification shown is a missed alarm's.
    bool missed;
    // What was last asked for, to be shown again on a new server.
    QString summary;
    QString body;
    QStringList actions;
    uchar urgency;
    bool resident;
    // The servers that owned the name before the one that owns it now:
    // their answers are ignored.
    QStringList formerServers;
    QDBusServiceWatcher *serverWatcher;
};

#endif // NOTIFIER_H
