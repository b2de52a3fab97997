#ifndef AUDIOCAPTURE_H
#define AUDIOCAPTURE_H

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QVector>

class QIODevice;

// The microphone, captured from the default input device in push mode. The
// sound server may take a second or more to find the device and to open
// the stream, and the toolkit waits for it in the calling thread; so all of
// that happens on a thread of its own, and the window never waits for it.
// Every chunk captured is then written, in order and whole, into the sink
// device on the thread that owns this object.
class AudioCapture : public QObject {
    Q_OBJECT

public:
    // Chunks captured one after the other: their bytes, and their sizes.
    struct Burst {
        QByteArray bytes;
        QVector<int> sizes;
    };

    explicit AudioCapture(QObject *parent = nullptr);
    // Stops the capture and waits for its thread, which may still be opening
    // the stream.
    ~AudioCapture() override;

    // Looks for the default input device and the format it takes: the
    // requested one, or the nearest it supports (formatChosen tells which).
    void findDevice(const QAudioFormat &requested);
    // Where the chunks go, from now on.
    void setSink(QIODevice *device);
    // Starts capturing in this format.
    void start(const QAudioFormat &format);
    // While a chunk is being written to the sink: when its last sample was
    // captured, in microseconds of the steady clock (OwnSound::now()),
    // reckoned back from the time its burst arrived; else -1.
    qint64 chunkTime() const { return currentChunkTime; }

signals:
    void formatChosen(const QAudioFormat &format, bool nearest);

private:
    void deliver(const Burst &burst);

    QThread thread;
    // Lives on the capture thread, with the toolkit's audio input.
    QObject *worker;
    // Used on the capture thread only.
    QAudioDeviceInfo device;
    QPointer<QIODevice> sink;
    qint64 bytesPerSecond;
    qint64 currentChunkTime;
};

#endif // AUDIOCAPTURE_H
