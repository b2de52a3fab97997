// Feeds any bytes to the level meter in any of its formats. The first two
// bytes choose the format; the level must stay within 0 to 1 and every
// write must report its whole length.

#include "audioinfo.h"

#include <QAudioFormat>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const int sizes[] = { 8, 16, 24, 32 };
    QAudioFormat format;
    format.setSampleRate(8000);
    format.setSampleSize(sizes[data[0] & 3]);
    format.setSampleType(QAudioFormat::SampleType((data[0] >> 2) & 3));
    format.setByteOrder(QAudioFormat::Endian((data[0] >> 4) & 1));
    format.setChannelCount(1 + data[1] % 4);
    format.setCodec(QStringLiteral("audio/pcm"));
    const char *bytes = reinterpret_cast<const char *>(data + 2);
    qint64 length = qint64(size - 2);
#ifndef QT_NO_DEBUG
    // The writer's contract holds whole frames; a debug build asserts on it.
    const int frame = format.channelCount() * format.sampleSize() / 8;
    length -= length % frame;
#endif

    AudioInfo meter(format, nullptr);
    meter.start();
    if (meter.write(bytes, length) != length)
        abort();
    if (!(meter.level() >= 0.0 && meter.level() <= 1.0))
        abort();
    return 0;
}
