#ifndef AUDIOCAPTURE_H
#define AUDIOCAPTURE_H

#include <QAtomicInt>
#include <QAudioFormat>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QVector>

#include "pulseloop.h"

class QIODevice;
class QTimer;

// The microphone, captured from the default input device through the sound
// server's own library, on its thread: nothing here waits for the server,
// and a connection that failed is simply made anew (the toolkit's audio
// input gives up for good on a server that was away a few seconds). The
// toolkit still finds the device and its format, on a thread of its own,
// since it may wait a second or more for the server. Every chunk captured
// is written, in order and whole, into the sink device on the thread that
// owns this object. The chunks gather on the capture thread, and every
// wake-up of the owner's thread takes along those gathered so far. Only
// chunks that have waited longer than the patience wake the owner's thread
// themselves: while nothing needs them at once, it wakes no more often
// than the window is drawn, or the motion sensors look.
// A stream the sound server ends (it crashed, or restarts) is opened anew,
// ever less often, until the server is back; the log says once that the
// microphone was lost, and once that it is back.
class AudioCapture : public QObject {
    Q_OBJECT

public:
    // Chunks captured one after the other: their bytes, their sizes, and
    // when the last of them arrived (OwnSound::now()).
    struct Burst {
        QByteArray bytes;
        QVector<int> sizes;
        qint64 arrived = 0;
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
    // Starts capturing in this format, unless it is capturing already.
    void start(const QAudioFormat &format);
    // Closes the stream: the sound server no longer captures for this
    // program. Chunks not yet handed over are dropped.
    void stop();
    // Whether a capture was started and not stopped since.
    bool isRunning() const { return running; }
    // Whether the stream was lost and is not back yet.
    bool isLost() const { return lost; }
    // Opens a lost stream at once, rather than at its next try.
    void reopenIfLost();
    // The longest wait between two tries to open a lost stream.
    static const int longestRetryMs = 10000;
    // How long captured chunks may wait for the owner's thread to wake, in
    // milliseconds; 0 hands each burst over as it comes. Takes effect at
    // the next burst.
    void setPatience(int ms) { patienceMs.storeRelaxed(ms); }
    int patience() const { return patienceMs.loadRelaxed(); }
    // While a chunk is being written to the sink: when its last sample was
    // captured, in microseconds of the steady clock (OwnSound::now()),
    // reckoned back from the time its burst arrived; else -1.
    qint64 chunkTime() const { return currentChunkTime; }

signals:
    void formatChosen(const QAudioFormat &format, bool nearest);
    // Chunks gathered together have all been written to the sink.
    void delivered();

private:
    // On the capture thread, under its loop's lock.
    void openStream();
    void endCapture();
    void readAll();
    void postLost();
    static void contextState(pa_context *context, void *self);
    static void streamState(pa_stream *stream, void *self);
    static void streamRead(pa_stream *stream, size_t bytes, void *self);

    // On the capture thread: a chunk has come, and the server has handed
    // over all it had for now.
    void gather(const char *data, qint64 len);
    void burstEnded();
    void askToTake();
    // On the owner's thread.
    void open();
    void closeInput();
    void streamLost();
    void takeGathered();
    void deliver(const Burst &burst);

    // Where the toolkit looks for the device.
    QThread thread;
    QObject *worker;
    // The capture thread, and what belongs to it or to whoever holds its
    // lock: a connection and a stream for each opening.
    PulseLoop loop;
    pa_context *context;
    pa_stream *stream;
    pa_sample_spec sampleFormat;
    QPointer<QIODevice> sink;
    qint64 bytesPerSecond;
    qint64 currentChunkTime;
    QAtomicInt patienceMs;
    // What the capture thread has gathered and the owner has not yet taken,
    // when the owner last took some (OwnSound::now()), and whether it has
    // been asked to wake for them: all under the lock.
    QMutex gatheredLock;
    Burst gathered;
    qint64 firstGathered;
    qint64 lastTaken;
    bool wakeAsked;
    QAtomicInt anyGathered;
    bool delivering;
    bool running;
    // The stream ended while capturing; when it is tried next, and how
    // long after the try before it.
    bool lost;
    // A stream was opened since the loss: its chunks say it is back.
    bool reopened;
    QTimer *retry;
    int retryMs;
    // Counts the openings, written by the owner under the loop's lock.
    int openings;
};

#endif // AUDIOCAPTURE_H
