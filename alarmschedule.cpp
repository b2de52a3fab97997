#include "alarmschedule.h"

namespace {

// The wall clock that local moment shows, compared as seconds since an
// epoch of its own.
qint64 wallSecs(qint64 utcSecs)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(utcSecs);
    return QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch();
}

} // namespace

QDateTime AlarmSchedule::occurrence(const QDate &date, const QTime &time)
{
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    const qint64 wall = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    // Any moment showing that wall time has one of the offsets in force a
    // day before or after it; a gap lies between the moments those give.
    const qint64 before = wall - QDateTime::fromSecsSinceEpoch(wall - 86400).offsetFromUtc();
    const qint64 after = wall - QDateTime::fromSecsSinceEpoch(wall + 86400).offsetFromUtc();
    qint64 low = qMin(before, after);
    qint64 high = qMax(before, after);
    qint64 first = -1;
    if (wallSecs(low) == wall)
        first = low;
    else if (wallSecs(high) == wall)
        first = high;
    if (first >= 0)
        return QDateTime::fromSecsSinceEpoch(first);
    // Skipped: the first moment whose wall time is past it.
    while (low < high) {
        const qint64 middle = low + (high - low) / 2;
        if (wallSecs(middle) > wall)
            high = middle;
        else
            low = middle + 1;
    }
    return QDateTime::fromSecsSinceEpoch(high);
}

QDateTime AlarmSchedule::next(const QTime &time, const QDateTime &after)
{
    if (!after.isValid())
        return QDateTime();
    const QDate today = after.toLocalTime().date();
    for (int days = -1; days <= 2; ++days) {
        const QDateTime moment = occurrence(today.addDays(days), time);
        if (moment.isValid() && moment > after)
            return moment;
    }
    return QDateTime();
}

AlarmSchedule::Verdict AlarmSchedule::reached(
    const QTime &time, const QDateTime &since, const QDateTime &now)
{
    if (!since.isValid() || !now.isValid() || now <= since)
        return NotYet;
    const QDateTime moment = next(time, since);
    if (!moment.isValid() || moment > now)
        return NotYet;
    return remembered(moment, now);
}

AlarmSchedule::Verdict AlarmSchedule::remembered(const QDateTime &moment, const QDateTime &now)
{
    if (!moment.isValid() || moment > now)
        return NotYet;
    return moment.secsTo(now) <= lateLimitSecs ? Due : Missed;
}
