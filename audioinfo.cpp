#include "audioinfo.h"

#include <QtEndian>
#include <QtGlobal>

namespace {

// Reads one sample of type T at p, in the given byte order.
template <typename T, bool BigEndian> inline T sampleAt(const uchar *p)
{
    return BigEndian ? qFromBigEndian<T>(p) : qFromLittleEndian<T>(p);
}

// The largest magnitude among `count` samples of type T. The format is
// chosen once per chunk; the samples go through in blocks of fixed length
// that the compiler turns into vector code.
template <typename T, bool BigEndian>
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
int peak(const uchar *ptr, qint64 count)
{
    enum { Block = 32 };
    T low[Block];
    T high[Block];
    for (int j = 0; j < Block; ++j)
        low[j] = high[j] = 0;
    qint64 i = 0;
    for (; i + Block <= count; i += Block) {
        for (int j = 0; j < Block; ++j) {
            const T value = sampleAt<T, BigEndian>(ptr + (i + j) * qint64(sizeof(T)));
            low[j] = value < low[j] ? value : low[j];
            high[j] = value > high[j] ? value : high[j];
        }
    }
    for (; i < count; ++i) {
        const T value = sampleAt<T, BigEndian>(ptr + i * qint64(sizeof(T)));
        low[0] = value < low[0] ? value : low[0];
        high[0] = value > high[0] ? value : high[0];
    }
    int result = 0;
    for (int j = 0; j < Block; ++j)
        result = qMax(result, qMax(int(high[j]), -int(low[j])));
    return result;
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
    const int frameBytes = channels * (m_format.sampleSize() / 8);
    if (m_maxAmplitude && channels > 0) {
        Q_ASSERT(m_format.sampleSize() % 8 == 0);
        const int channelBytes = m_format.sampleSize() / 8;
        Q_ASSERT(len % frameBytes == 0);
        // Whole frames only: a trailing partial frame is left unread.
        const qint64 samples = len / frameBytes * channels;
        const uchar *ptr = reinterpret_cast<const uchar *>(data);
        const bool bigEndian = m_format.byteOrder() == QAudioFormat::BigEndian;

        int maxValue = 0;
        const bool isSigned = m_format.sampleType() == QAudioFormat::SignedInt;
        if (channelBytes == 1) {
            maxValue
                = isSigned ? peak<qint8, false>(ptr, samples) : peak<quint8, false>(ptr, samples);
        } else if (isSigned) {
            maxValue
                = bigEndian ? peak<qint16, true>(ptr, samples) : peak<qint16, false>(ptr, samples);
        } else {
            maxValue = bigEndian ? peak<quint16, true>(ptr, samples)
                                 : peak<quint16, false>(ptr, samples);
        }

        // The most negative signed sample exceeds full scale by one.
        maxValue = qMin(maxValue, int(m_maxAmplitude));
        m_level = qreal(maxValue) / m_maxAmplitude;
    }

    emit update();
    return len;
}
