#ifndef ALARMSCHEDULE_H
#define ALARMSCHEDULE_H

#include <QDateTime>
#include <QTime>
#include <QVector>

// When an alarm set for a time of day rings, by the local wall clock. The
// clock tick, the wake-up timer and a program started again all ask here,
// so that a late alarm, a time zone and daylight saving time follow one
// rule wherever they are met.
class AlarmSchedule {
public:
    // An alarm this late still rings: the phone came back from a suspend it
    // was not woken from, or the program was started again after a crash.
    // Later than that, nobody is woken by it any more.
    static const int lateLimitSecs = 600;

    enum Verdict { NotYet, Due, Missed };

    // The first moment of `date` whose local clock shows `time`. On the
    // night the clocks go forward, a time they skip is the first moment
    // after the gap; on the night they go back, a time shown twice is the
    // first of the two.
    static QDateTime occurrence(const QDate &date, const QTime &time);
    // Every moment of `date` whose local clock shows `time`, in order: two
    // on the night the clocks go back, else the one above.
    static QVector<QDateTime> occurrences(const QDate &date, const QTime &time);
    // The first such moment after `after` that the clock has still to show:
    // in the second pass of a repeated hour, the second of two; from the
    // first of them on, not the second, so that an alarm rings once a night.
    static QDateTime next(const QTime &time, const QDateTime &after);
    // The moment an alarm set before the program last ended stands for now:
    // the one showing its `time` in the time zone now in force that lies
    // nearest the moment it was set for, so that a phone carried into
    // another zone keeps its alarm for that time of day there.
    static QDateTime resumed(const QTime &time, const QDateTime &remembered);
    // Whether the alarm's moment came after the tick at `since` and by the
    // tick at `now`, and if so whether it is still worth ringing. A clock
    // that went backwards passes nothing.
    static Verdict reached(const QTime &time, const QDateTime &since, const QDateTime &now);
    // The same for a moment that was set before the program last ended.
    static Verdict remembered(const QDateTime &moment, const QDateTime &now);
};

#endif // ALARMSCHEDULE_H
