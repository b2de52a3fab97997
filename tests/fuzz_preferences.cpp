// Loads any bytes as alarm.conf, reads every setting, saves once, and checks
// that the saved file holds exactly six lines and nothing else was written.

#include "preferences.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const bool entered = QDir::setCurrent(dir.path());
    if (!entered)
        abort();

    QFile file(QStringLiteral("alarm.conf"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    preferences conf;
    for (int key = -2; key < 9; ++key)
        conf.get(key);
    conf.getSoundFileName();
    conf.getTime();
    conf.getStoppBySound();
    conf.getStoppByAccelerometer();
    conf.getSensitivityAccelerometer();
    conf.getStoppByOrientation();
    conf.setSensitivityAccelerometer(int(size % 12));

    if (!file.open(QIODevice::ReadOnly))
        abort();
    const QByteArray saved = file.readAll();
    file.close();
    if (saved.count('\n') != 6 || !saved.endsWith('\n'))
        abort();
    if (saved.split('\n').value(4) != QByteArray::number(int(size % 12)))
        abort();
    if (QDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
        != QStringList({ "alarm.conf" }))
        abort();
    return 0;
}
