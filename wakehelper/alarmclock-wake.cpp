// Holds the alarm clock's wake-up timer: a kernel timer on
// CLOCK_REALTIME_ALARM, which wakes the phone from suspend when it fires.
// That clock needs CAP_WAKE_ALARM, which the package gives to this small
// program alone (a Qt program honours plugin paths from the environment,
// so it must not carry the capability).
//
// Any account may run it, but it wakes the phone only for the person at
// the phone, judged again at every moment it is asked for: a user with an active session on a seat,
// that is not remote, as polkit's "allow_active" means; or a member of the group alarmclock-wake,
// for sessions without a seat. Anyone else gets the plain timer, so that no other account on a
// shared machine can wake the phone or keep it from sleeping.
//
// It talks to the alarm clock over its standard input and output, a line
// at a time. It says first how it will keep time:
//   wake                 the timer can wake the phone
//   nowake REASON        it cannot; a plain timer stands in
// and again whenever that changes; it takes:
//   at SECONDS           fire at this moment (seconds since the epoch, UTC)
//   off                  fire at no moment
// and reports:
//   fired SECONDS        the moment came
//   clock-changed        the wall clock was set; the moment needs sending again
// It ends when its standard input closes.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

namespace {

void say(const std::string &line)
{
    const std::string text = line + "\n";
    if (write(STDOUT_FILENO, text.data(), text.size()) < 0)
        std::exit(1);
}

bool setTimer(int timer, long long seconds)
{
    itimerspec when {};
    when.it_value.tv_sec = static_cast<time_t>(seconds);
    const int flags = seconds > 0 ? TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET : 0;
    return timerfd_settime(timer, flags, &when, nullptr) == 0;
}

// Whether the user has an active session on a seat, not a remote one. Asked
// of the user rather than of the caller's own session: under the user's
// service manager the alarm clock runs outside any session.
bool atTheSeat(uid_t user)
{
    char **sessions = nullptr;
    const int count = sd_uid_get_sessions(user, 1, &sessions);
    bool found = false;
    for (int i = 0; i < count; ++i) {
        char *seat = nullptr;
        if (!found && sd_session_get_seat(sessions[i], &seat) >= 0 && seat && *seat
            && sd_session_is_active(sessions[i]) > 0 && sd_session_is_remote(sessions[i]) == 0)
            found = true;
        std::free(seat);
        std::free(sessions[i]);
    }
    std::free(sessions);
    return found;
}

// Whether the process runs with the group among its own: the credentials
// it was started with, not what the group's file says today.
bool inWakeGroup()
{
    const group *wake = getgrnam("alarmclock-wake");
    if (!wake)
        return false;
    if (getgid() == wake->gr_gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    return got > 0
        && std::find(groups.begin(), groups.begin() + got, wake->gr_gid) != groups.begin() + got;
}

// Why the phone may not be woken for the user who runs this; empty where it
// may. Root may anyway.
std::string refusal()
{
    const uid_t user = getuid();
    if (user == 0 || atTheSeat(user) || inWakeGroup())
        return std::string();
    return "this user has no active session at the phone's seat, and is not a member of the "
           "group alarmclock-wake";
}

// The timer, and whether a plain one stands in because the user may not
// wake the phone.
int timer = -1;
bool refused = false;

// Makes the timer for `why` (empty where the user may wake the phone) and
// says how it will keep time. A timer the kernel will not give leaves a
// plain timer of the wall clock.
bool makeTimer(std::string why)
{
    refused = !why.empty();
    int made = refused ? -1 : timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK);
    if (made < 0) {
        const int error = errno;
        if (why.empty())
            why = error == EPERM
                ? "the wake helper lacks the permission to wake the phone (CAP_WAKE_ALARM)"
                : std::string("the kernel offers no wake-up timer (") + std::strerror(error) + ")";
        made = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
        if (made < 0)
            return false;
        say("nowake " + why);
    } else {
        // Without a wake-capable hardware clock the timer still fires on
        // time while the phone is awake, but suspend cannot set it.
        timespec resolution {};
        if (clock_getres(CLOCK_REALTIME_ALARM, &resolution) != 0)
            say("nowake this device has no hardware clock that can wake it");
        else
            say("wake");
    }
    if (timer >= 0)
        close(timer);
    timer = made;
    return true;
}

// The moment the timer stands at, 0 for none.
long long armedAt = 0;

// Obeys one line from the alarm clock; false when it makes no sense.
bool obey(const std::string &line)
{
    if (line == "off") {
        armedAt = 0;
        return setTimer(timer, 0);
    }
    if (line.compare(0, 3, "at ") != 0)
        return false;
    char *end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(line.c_str() + 3, &end, 10);
    if (errno != 0 || end == line.c_str() + 3 || *end != '\0' || seconds <= 0)
        return false;
    // Who may wake the phone is judged at every moment asked for: a user
    // who has left the seat since gets the plain timer from then on, and
    // one who has come back gets the one that wakes it.
    const std::string why = refusal();
    if (why.empty() == refused && !makeTimer(why))
        std::exit(1);
    armedAt = seconds;
    return setTimer(timer, seconds);
}

} // namespace

int main()
{
    if (!makeTimer(refusal()))
        return 1;

    std::string pending;
    for (;;) {
        pollfd watched[2] = { { STDIN_FILENO, POLLIN, 0 }, { timer, POLLIN, 0 } };
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (watched[1].revents & POLLIN) {
            unsigned long long expirations = 0;
            if (read(timer, &expirations, sizeof expirations) == sizeof expirations) {
                say("fired " + std::to_string(armedAt));
                armedAt = 0;
            } else if (errno == ECANCELED) {
                // Set again, so that the cancellation is reported once.
                setTimer(timer, armedAt);
                say("clock-changed");
            }
        }
        if (watched[0].revents & (POLLIN | POLLHUP)) {
            char buffer[256];
            const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0)
                return 0;
            pending.append(buffer, static_cast<size_t>(got));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!obey(line))
                    say("error " + line.substr(0, 64));
            }
            // Nobody sends lines this long; do not hold on to them.
            if (pending.size() > 1024)
                pending.clear();
        }
    }
}
