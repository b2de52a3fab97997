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

QVector<QDateTime> AlarmSchedule::occurrences(const QDate &date, const QTime &time)
{
    const QDateTime first = occurrence(date, time);
    if (!first.isValid())
        return {};
    // A time shown twice is shown again as far after the first as the
    // clocks went back.
    const qint64 wall = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    const qint64 back = first.offsetFromUtc()
        - QDateTime::fromSecsSinceEpoch(first.toSecsSinceEpoch() + 86400).offsetFromUtc();
    const qint64 second = first.toSecsSinceEpoch() + back;
    if (back > 0 && wallSecs(second) == wall)
        return { first, QDateTime::fromSecsSinceEpoch(second) };
    return { first };
}

QDateTime AlarmSchedule::next(const QTime &time, const QDateTime &after)
{
    if (!after.isValid() || !time.isValid())
        return QDateTime();
    const QDate today = after.toLocalTime().date();
    const qint64 shownAfter = wallSecs(after.toSecsSinceEpoch());
    for (int days = -1; days <= 2; ++days) {
        const QDate date = today.addDays(days);
        const QVector<QDateTime> moments = occurrences(date, time);
        for (int i = 0; i < moments.size(); ++i) {
            // The second showing counts only while the clock, gone back,
            // shows an earlier time than the alarm's.
            if (moments[i] > after
                && (i == 0 || shownAfter < QDateTime(date, time, Qt::UTC).toSecsSinceEpoch()))
                return moments[i];
        }
    }
    return QDateTime();
}

QDateTime AlarmSchedule::resumed(const QTime &time, const QDateTime &remembered)
{
    if (!remembered.isValid() || !time.isValid())
        return QDateTime();
    const QDate day = remembered.toLocalTime().date();
    QDateTime nearest;
    for (int days = -1; days <= 1; ++days) {
        for (const QDateTime &moment : occurrences(day.addDays(days), time)) {
            if (!nearest.isValid()
                || qAbs(moment.secsTo(remembered)) < qAbs(nearest.secsTo(remembered)))
                nearest = moment;
        }
    }
    return nearest;
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
