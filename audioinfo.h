#ifndef AUDIOINFO_H
#define AUDIOINFO_H

#include <QAudioFormat>
#include <QIODevice>

// A write-only device that turns each chunk of raw PCM written to it into
// one loudness figure: the chunk's peak absolute sample relative to full
// scale, from 0.0 to 1.0.
class AudioInfo : public QIODevice {
    Q_OBJECT

public:
    AudioInfo(const QAudioFormat &format, QObject *parent);
    ~AudioInfo() override;

    void start();
    void stop();

    qreal level() const { return m_level; }

signals:
    void update();

protected:
    qint64 readData(char *data, qint64 maxlen) override;
    qint64 writeData(const char *data, qint64 len) override;

private:
    const QAudioFormat m_format;
    quint16 m_maxAmplitude;
    qreal m_level;
};

#endif // AUDIOINFO_H
