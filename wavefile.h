#ifndef WAVEFILE_H
#define WAVEFILE_H

#include <QString>

// A sound file as the alarm's sound output can play it: a whole PCM wave
// file of 8- or 16-bit samples. The output never finishes loading a wave
// file that breaks off early, and cannot even release it, so no other file
// may reach it.
class WaveFile {
public:
    explicit WaveFile(const QString &fileName);

    bool playable() const { return durationMs >= 0; }
    // How long one play lasts, in milliseconds; -1 when it cannot play.
    qint64 duration() const { return durationMs; }

    // Where the file is heard, in milliseconds from its start: its first
    // and its last sample at or above a hundredth of its loudest (-40 dB),
    // so that silence and dither around a sound do not count. Both -1 for a
    // file that is silent or cannot play. Reads all the samples.
    void findSound(qint64 *firstMs, qint64 *lastMs) const;
    // The samples as they are stored, interleaved, and how: 1 or 2 bytes
    // each (8-bit unsigned, 16-bit signed little-endian).
    QByteArray samples() const;
    int channelCount() const { return channels; }
    int sampleRate() const { return rate; }
    int sampleBytes() const { return bytesPerSample; }

private:
    QString fileName;
    qint64 durationMs;
    qint64 dataOffset;
    qint64 dataSize;
    int channels;
    int rate;
    int bytesPerSample;
};

#endif // WAVEFILE_H
