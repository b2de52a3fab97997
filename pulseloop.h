#ifndef PULSELOOP_H
#define PULSELOOP_H

#include <QtGlobal>

#include <pulse/pulseaudio.h>

// libpulse's threaded main loop, started when it is first needed. Its
// thread runs the callbacks of every connection made on it, under its
// lock; whoever else touches those connections holds the lock too. The
// program's connections to the sound server (the microphone, the direct
// sound, the alarm volume) share one, which goes at the program's end;
// each ends its connections, under the lock, before it goes itself.
class PulseLoop {
public:
    explicit PulseLoop(const char *name);
    ~PulseLoop();

    // The loop the program's connections share.
    static PulseLoop &shared();

    // False when the loop cannot run.
    bool start();
    bool isStarted() const { return loop; }
    pa_mainloop_api *api() const { return pa_threaded_mainloop_get_api(loop); }
    void lock() { pa_threaded_mainloop_lock(loop); }
    void unlock() { pa_threaded_mainloop_unlock(loop); }
    // Under the lock, off the loop's thread: waits for signal().
    void wait() { pa_threaded_mainloop_wait(loop); }
    void signal() { pa_threaded_mainloop_signal(loop, 0); }

private:
    Q_DISABLE_COPY(PulseLoop)

    const char *name;
    pa_threaded_mainloop *loop;
};

#endif // PULSELOOP_H
