#include "audioinfo.h"

#include <QtEndian>
#include <QtGlobal>

#include <cstdlib>

namespace {

// One decoder per sample layout, so that the format is looked at once per
// chunk and the loop over the samples stays branch-free.
struct Unsigned8 {
    static int value(const uchar *p) { return p[0]; }
};
struct Signed8 {
    static int value(const uchar *p) { return std::abs(int(qint8(p[0]))); }
};
template <bool BigEndian> struct Unsigned16 {
    static int value(const uchar *p)
    {
        return BigEndian ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    }
};
template <bool BigEndian> struct Signed16 {
    static int value(const uchar *p)
    {
        return std::abs(int(BigEndian ? qFromBigEndian<qint16>(p) : qFromLittleEndian<qint16>(p)));
    }
};

template <typename Decoder, int Bytes> int peak(const uchar *ptr, qint64 samples)
{
    int maxValue = 0;
    for (qint64 i = 0; i < samples; ++i, ptr += Bytes) {
        const int value = Decoder::value(ptr);
        maxValue = value > maxValue ? value : maxValue;
    }
    return maxValue;
}

} // namespace

AudioInfo::AudioInfo(const QAudioFormat &format, QObject *parent)
    : QIODevice(parent)
    , m_format(format)
    , m_maxAmplitude(0)
    , m_level(0.0)
{
    const bool isSigned = m_format.sampleType() == QAudioFormat::SignedInt;
    const bool isUnsigned = m_format.sampleType() == QAudioFormat::UnSignedInt;
    switch (m_format.sampleSize()) {
    case 8:
        m_maxAmplitude = isSigned ? 127 : isUnsigned ? 255 : 0;
        break;
    case 16:
        m_maxAmplitude = isSigned ? 32767 : isUnsigned ? 65535 : 0;
        break;
    default:
        break;
    }
}

AudioInfo::~AudioInfo() = default;

void AudioInfo::start()
{
    open(QIODevice::WriteOnly);
}

void AudioInfo::stop()
{
    close();
}

qint64 AudioInfo::readData(char *data, qint64 maxlen)
{
    Q_UNUSED(data)
    Q_UNUSED(maxlen)
    return 0;
}

qint64 AudioInfo::writeData(const char *data, qint64 len)
{
    const int channels = m_format.channelCount();
    if (m_maxAmplitude && channels > 0) {
        Q_ASSERT(m_format.sampleSize() % 8 == 0);
        const int channelBytes = m_format.sampleSize() / 8;
        const int sampleBytes = channels * channelBytes;
        Q_ASSERT(len % sampleBytes == 0);
        // Whole frames only: a trailing partial frame is left unread.
        const qint64 samples = len / sampleBytes * channels;
        const uchar *ptr = reinterpret_cast<const uchar *>(data);
        const bool bigEndian = m_format.byteOrder() == QAudioFormat::BigEndian;

        int maxValue = 0;
        if (channelBytes == 1) {
            maxValue = m_format.sampleType() == QAudioFormat::SignedInt
                ? peak<Signed8, 1>(ptr, samples)
                : peak<Unsigned8, 1>(ptr, samples);
        } else if (m_format.sampleType() == QAudioFormat::SignedInt) {
            maxValue = bigEndian ? peak<Signed16<true>, 2>(ptr, samples)
                                 : peak<Signed16<false>, 2>(ptr, samples);
        } else {
            maxValue = bigEndian ? peak<Unsigned16<true>, 2>(ptr, samples)
                                 : peak<Unsigned16<false>, 2>(ptr, samples);
        }

        // The most negative signed sample exceeds full scale by one.
        maxValue = qMin(maxValue, int(m_maxAmplitude));
        m_level = qreal(maxValue) / m_maxAmplitude;
    }

    emit update();
    return len;
}
