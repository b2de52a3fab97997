#ifndef REMEMBEREDALARM_H
#define REMEMBEREDALARM_H

#include <QDateTime>
#include <QString>
#include <QTime>

// The set alarm, kept in "alarm.armed" beside the settings and apart from
// them, so that a program started again after a crash or a reboot sets it
// again: its moment in seconds since the epoch, and its time as the clock
// shows it ("1796621400 07:30:00"). The file is written only when the
// moment it holds changes.
class RememberedAlarm {
public:
    static QString fileName();

    // Keeps `moment` for the alarm set for `time` (as "07:30:00").
    void remember(const QDateTime &moment, const QString &time);
    void forget();

    enum Found { Nothing, Unreadable, Alarm };
    // What an earlier run left: its moment and its time where it is an alarm.
    static Found read(QDateTime *moment, QTime *time);

private:
    // The moment the file holds, as the instant: a local time would mean
    // another one in a new zone.
    QDateTime kept;
    QString keptTime;
};

#endif // REMEMBEREDALARM_H
