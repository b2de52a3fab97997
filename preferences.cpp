#include "preferences.h"
#include "ownfile.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QVariant>
#include <QtGlobal>

namespace {

QString configFileName()
{
    return QStringLiteral("alarm.conf");
}

QString boolText(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

enum Key { SoundFileName, Time, StopBySound, StopByShake, Sensitivity, StopByFlip, KeyCount };

// The settings a new file starts with, in line order.
QString defaultValue(int key)
{
    static const char *const defaults[KeyCount] = { "warning.wav", "12:00", "1", "1", "8", "1" };
    return QString::fromLatin1(defaults[key]);
}

// What a line missing from the file is saved as: the text its getter reads
// for it (an empty name or time, a switch that is off, sensitivity 0), so a
// save never changes what a setting means.
QString absentValue(int key)
{
    return key == SoundFileName || key == Time ? QString() : QStringLiteral("0");
}

// The first six values, each ended by a line feed.
QByteArray fileContent(const QVector<QString> &values)
{
    QByteArray content;
    QTextStream out(&content, QIODevice::WriteOnly);
    for (int i = 0; i < KeyCount; ++i) {
        // A line break inside a value would split it into two settings.
        QString value = values.value(i);
        value.replace(QLatin1Char('\n'), QLatin1Char(' '))
            .replace(QLatin1Char('\r'), QLatin1Char(' '));
        out << value << '\n';
    }
    out.flush();
    return content;
}

bool saveLines(const QVector<QString> &values)
{
    return OwnFile::write(configFileName(), fileContent(values));
}

} // namespace

preferences::preferences()
{
    if (!QFile::exists(configFileName())) {
        qWarning("does not exist");
        QVector<QString> defaults;
        for (int i = 0; i < KeyCount; ++i)
            defaults.append(defaultValue(i));
        if (saveLines(defaults))
            qWarning("OK, created!");
    }

    QFile file(configFileName());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream in(&file);
    while (!in.atEnd())
        vector.append(in.readLine());
    file.close();
}

QString preferences::get(int key)
{
    return vector.value(key);
}

void preferences::set(int key, QString value)
{
    // Only the six settings of the file may be added; a short store is
    // completed with what its getters read, so that every save writes six
    // lines. Values beyond the sixth line may still be replaced in memory.
    if (key < 0 || key >= qMax(int(KeyCount), vector.size()))
        return;
    for (int i = vector.size(); i < KeyCount; ++i)
        vector.append(absentValue(i));
    vector[key] = value;
    write();
}

QString preferences::getSoundFileName()
{
    return get(SoundFileName);
}

void preferences::setSoundFileName(QString value)
{
    set(SoundFileName, value);
}

QString preferences::getTime()
{
    return get(Time);
}

void preferences::setTime(QString value)
{
    set(Time, value);
}

bool preferences::getStoppBySound()
{
    return get(StopBySound) == QLatin1String("1");
}

void preferences::setStoppBySound(bool sound)
{
    set(StopBySound, boolText(sound));
}

bool preferences::getStoppByAccelerometer()
{
    return get(StopByShake) == QLatin1String("1");
}

void preferences::setStoppByAccelerometer(bool accelerometer)
{
    set(StopByShake, boolText(accelerometer));
}

int preferences::getSensitivityAccelerometer()
{
    return QVariant(get(Sensitivity)).toInt();
}

void preferences::setSensitivityAccelerometer(int sensitivity)
{
    set(Sensitivity, QVariant(sensitivity).toString());
}

bool preferences::getStoppByOrientation()
{
    return get(StopByFlip) == QLatin1String("1");
}

void preferences::setStoppByOrientation(bool flip)
{
    set(StopByFlip, boolText(flip));
}

void preferences::write()
{
    saveLines(vector);
}
