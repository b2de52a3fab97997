#include "rememberedalarm.h"
#include "ownfile.h"

#include <QFile>
#include <QList>

QString RememberedAlarm::fileName()
{
    return QStringLiteral("alarm.armed");
}

void RememberedAlarm::remember(const QDateTime &moment, const QString &time)
{
    if (!moment.isValid() || (moment == kept && time == keptTime))
        return;
    kept = moment.toUTC();
    keptTime = time;
    OwnFile::write(
        fileName(), QByteArray::number(moment.toSecsSinceEpoch()) + ' ' + time.toLatin1() + '\n');
}

void RememberedAlarm::forget()
{
    kept = QDateTime();
    keptTime.clear();
    QFile::remove(fileName());
}

RememberedAlarm::Found RememberedAlarm::read(QDateTime *moment, QTime *time)
{
    QByteArray text;
    if (!OwnFile::read(fileName(), 64, &text))
        return Nothing;
    const QList<QByteArray> fields = text.split('\n').value(0).trimmed().split(' ');
    bool ok = false;
    const qint64 seconds = fields.value(0).toLongLong(&ok);
    *time = QTime::fromString(QString::fromLatin1(fields.value(1)));
    if (!ok || !time->isValid())
        return Unreadable;
    *moment = QDateTime::fromSecsSinceEpoch(seconds);
    return Alarm;
}
