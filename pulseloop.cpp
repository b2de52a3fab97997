#include "pulseloop.h"

PulseLoop::PulseLoop(const char *name)
    : name(name)
    , loop(nullptr)
{
}

PulseLoop::~PulseLoop()
{
    if (!loop)
        return;
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

bool PulseLoop::start()
{
    if (loop)
        return true;
    loop = pa_threaded_mainloop_new();
    if (loop)
        pa_threaded_mainloop_set_name(loop, name);
    if (!loop || pa_threaded_mainloop_start(loop) < 0) {
        if (loop)
            pa_threaded_mainloop_free(loop);
        loop = nullptr;
        return false;
    }
    return true;
}
