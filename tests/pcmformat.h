#ifndef PCMFORMAT_H
#define PCMFORMAT_H

#include <QAudioFormat>

// An 8000 Hz PCM format for feeding the level meter by hand.
inline QAudioFormat pcmFormat(int bits, QAudioFormat::SampleType type,
    QAudioFormat::Endian order = QAudioFormat::LittleEndian, int channels = 1)
{
    QAudioFormat f;
    f.setSampleRate(8000);
    f.setChannelCount(channels);
    f.setSampleSize(bits);
    f.setSampleType(type);
    f.setByteOrder(order);
    f.setCodec(QStringLiteral("audio/pcm"));
    return f;
}

#endif // PCMFORMAT_H
