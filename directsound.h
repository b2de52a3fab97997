#ifndef DIRECTSOUND_H
#define DIRECTSOUND_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include "pulseloop.h"

#include <atomic>

// Plays a wave file once through the sound server, on a connection of its
// own: the ringing goes on with it when the toolkit's sound effects fail
// (they come back only long after a sound server that restarted). A
// connection that failed is made anew at the next play, so a server that
// is back plays the next one. Its connection also tells when the server
// goes away. Runs on libpulse's thread and never waits for it.
class DirectSound : public QObject {
    Q_OBJECT

public:
    explicit DirectSound(QObject *parent = nullptr);
    ~DirectSound() override;

    // False when the file cannot be played at all; a server that is gone
    // ends the play soon after.
    bool play(const QString &fileName);
    void stop();
    // From the play until its last sample has been played, or it failed.
    bool isPlaying() const { return playing.load(); }
    // Connects now, to tell when the server goes away.
    void watchServer();

signals:
    // The server this program was connected to went away.
    void serverLost();

private:
    void connectToServer();
    void openStream();
    void endStream();
    void writeSome(size_t bytes);

    static void contextState(pa_context *context, void *self);
    static void streamState(pa_stream *stream, void *self);
    static void streamWrite(pa_stream *stream, size_t bytes, void *self);
    static void drained(pa_stream *stream, int success, void *self);

    PulseLoop loop;
    pa_context *context;
    // All below belongs to the loop's thread, or to whoever holds its lock.
    pa_stream *stream;
    pa_sample_spec sampleFormat;
    QByteArray pcm;
    int written;
    bool wanted;
    bool connected;
    std::atomic<bool> playing;
};

#endif // DIRECTSOUND_H
