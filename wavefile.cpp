#include "wavefile.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace {

// The sound output reads the whole file into memory; anything larger is
// not a sound a person chose for an alarm.
const qint64 maxBytes = 64 * 1024 * 1024;

} // namespace

WaveFile::WaveFile(const QString &fileName)
    : fileName(fileName)
    , durationMs(-1)
    , dataOffset(0)
    , dataSize(0)
    , channels(0)
    , rate(0)
    , bytesPerSample(0)
{
    QFile file(fileName);
    const QFileInfo info(fileName);
    if (!info.isFile() || info.size() > maxBytes || !file.open(QIODevice::ReadOnly))
        return;
    const QByteArray header = file.read(12);
    if (header.size() < 12 || !header.startsWith("RIFF") || header.mid(8, 4) != "WAVE")
        return;
    for (qint64 pos = 12; pos + 8 <= info.size();) {
        if (!file.seek(pos))
            return;
        const QByteArray chunk = file.read(8);
        if (chunk.size() < 8)
            return;
        const qint64 size = qFromLittleEndian<quint32>(chunk.constData() + 4);
        if (chunk.startsWith("fmt ")) {
            const QByteArray format = file.read(16);
            if (size < 16 || format.size() < 16)
                return;
            const quint16 tag = qFromLittleEndian<quint16>(format.constData());
            const quint16 count = qFromLittleEndian<quint16>(format.constData() + 2);
            const quint32 samplesPerSecond = qFromLittleEndian<quint32>(format.constData() + 4);
            const quint16 bits = qFromLittleEndian<quint16>(format.constData() + 14);
            const bool known = tag == 1 && count > 0 && samplesPerSecond > 0
                && samplesPerSecond < (1u << 24) && (bits == 8 || bits == 16);
            channels = known ? count : 0;
            rate = known ? int(samplesPerSecond) : 0;
            bytesPerSample = known ? bits / 8 : 0;
        } else if (chunk.startsWith("data")) {
            const qint64 bytesPerSecond = qint64(channels) * rate * bytesPerSample;
            if (bytesPerSecond == 0 || size == 0 || pos + 8 + size > info.size())
                return;
            dataOffset = pos + 8;
            dataSize = size;
            durationMs = size * 1000 / bytesPerSecond;
            return;
        }
        pos += 8 + size + (size & 1);
    }
}

void WaveFile::findSound(qint64 *firstMs, qint64 *lastMs) const
{
    *firstMs = *lastMs = -1;
    const QByteArray data = this->samples();
    if (data.isEmpty())
        return;
    const qint64 samples = data.size() / bytesPerSample;
    const uchar *bytes = reinterpret_cast<const uchar *>(data.constData());
    // 8-bit samples are unsigned around 128, 16-bit ones signed.
    auto magnitude = [&](qint64 i) {
        return bytesPerSample == 1 ? qAbs(int(bytes[i]) - 128) * 256
                                   : qAbs(int(qFromLittleEndian<qint16>(bytes + 2 * i)));
    };
    int loudest = 0;
    for (qint64 i = 0; i < samples; ++i)
        loudest = qMax(loudest, magnitude(i));
    if (loudest == 0)
        return;
    const int heard = qMax(1, loudest / 100);
    qint64 first = -1;
    qint64 last = -1;
    for (qint64 i = 0; i < samples; ++i) {
        if (magnitude(i) >= heard) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    *firstMs = first / channels * 1000 / rate;
    *lastMs = (last / channels + 1) * 1000 / rate;
}

QByteArray WaveFile::samples() const
{
    QFile file(fileName);
    if (!playable() || !file.open(QIODevice::ReadOnly) || !file.seek(dataOffset))
        return QByteArray();
    return file.read(dataSize);
}
