#include "iioaccelerometer.h"
#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// How long a program started by D-Bus activation waits for the call that
// activated it, which the bus hands over once the program owns its name.
const int activationGraceMs = 25000;

int termPipe[2] = { -1, -1 };

void onTerm(int)
{
    const char byte = 1;
    (void)!::write(termPipe[1], &byte, 1);
}

// A logout, a shutdown or the service manager's stop sends SIGTERM: the
// program ends as from its event loop, so that the window's alarm gives the
// output's volume back first (the stop waits for it), and a set alarm stays
// remembered.
void endOnTerm(QCoreApplication *app)
{
    if (::pipe2(termPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *term = new QSocketNotifier(termPipe[0], QSocketNotifier::Read, app);
    QObject::connect(term, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onTerm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    // Phone shells manage windows themselves: no title bar of the toolkit's
    // own there.
    if (qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("Phosh")))
        qputenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1");
    // Widgets only, never OpenGL: on X11 loading the GL drivers (Mesa with
    // its compiler) is a third of the time to the window, for nothing.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication a(argc, argv);
    endOnTerm(&a);
    // Lets Wayland shells match the window to its desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral(ALARMCLOCK_APP_ID));
    // At login, only to set again an alarm that was set (see the launcher);
    // or started by the service manager, for D-Bus activation or after a
    // crash.
    const bool service = a.arguments().contains(QStringLiteral("--service"));
    const bool hidden = service || a.arguments().contains(QStringLiteral("--hidden"));
    SingleInstance instance;
    if (!instance.claim(!hidden))
        return 0;
    // Linux phones show their accelerometer only as an IIO device.
    IioAccelerometer::registerIfPresent();
    MainWindow w;
    QObject::connect(&instance, &SingleInstance::activated, &w, &MainWindow::showAgain);
    // A program with nothing to do ends, unless it is waiting for the call
    // that activated it. Once the wait is over, the window is asked afresh:
    // an alarm set and its window closed since must go on.
    bool awaitingActivation = service;
    QObject::connect(
        &instance, &SingleInstance::activated, &a, [&] { awaitingActivation = false; });
    QObject::connect(&w, &MainWindow::finished, &a, [&] {
        if (!awaitingActivation)
            a.quit();
    });
    if (service)
        QTimer::singleShot(activationGraceMs, &w, [&] {
            awaitingActivation = false;
            w.endIfClosed();
        });
    w.start(hidden);
    return a.exec();
}
