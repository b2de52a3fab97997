#ifndef PULSELOOP_H
#define PULSELOOP_H

#include <QtGlobal>

#include <pulse/pulseaudio.h>

// libpulse's threaded main loop, started when it is first needed. Its
// thread runs the callbacks of every connection made on it, under its
// lock; whoever else touches those connections holds the lock too. Going,
// it stops its thread: the owner ends its connections first.
class PulseLoop {
public:
    explicit PulseLoop(const char *name);
    ~PulseLoop();

    // False when the loop cannot run.
    bool start();
    bool isStarted() const { return loop; }
    pa_mainloop_api *api() const { return pa_threaded_mainloop_get_api(loop); }
    void lock() { pa_threaded_mainloop_lock(loop); }
    void unlock() { pa_threaded_mainloop_unlock(loop); }

private:
    Q_DISABLE_COPY(PulseLoop)

    const char *name;
    pa_threaded_mainloop *loop;
};

#endif // PULSELOOP_H
