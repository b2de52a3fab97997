// What the built program costs while it waits for an alarm three hours
// ahead, on the real clock, the room humming, over the same 60 s: with its
// window closed, with the window shown behind a locked screen, and with the
// window shown; beside a Qt program that only waits on one timer, and a
// bare Qt capture of the same microphone. CPU ticks and context switches
// are summed over all the threads of each process. Run through
// benchmarks/phone.sh --waiting, which starts the phone.

#include "phone.h"
#include "standins.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <unistd.h>

using namespace Phone;

namespace {

// User plus system CPU ticks the process has used.
qint64 cpuTicks(qint64 pid)
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/%1/stat").arg(pid)).split(' ');
    return fields.value(13).toLongLong() + fields.value(14).toLongLong();
}

// Context switches of all the process's threads, both kinds.
qint64 switches(qint64 pid)
{
    qint64 sum = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QByteArray &line :
            readFile(tasks + QLatin1Char('/') + tid + "/status").split('\n'))
            if (line.contains("ctxt_switches:"))
                sum += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return sum;
}

int captureStreams(qint64 pid)
{
    return run(QStringLiteral("pactl"), { "list", "source-outputs" })
        .count(QStringLiteral("application.process.id = \"%1\"").arg(pid));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 60;

    const QByteArray laterConf = "sounds/ringin.wav\n"
        + QTime::currentTime().addSecs(3 * 3600).toString(QStringLiteral("HH:mm:ss")).toLatin1()
        + "\n1\n1\n8\n1\n";
    // Each program on a bus of its own, with a logind whose session locks.
    PrivateBus closedBus;
    PrivateBus lockedBus;
    PrivateBus shownBus;
    if (!closedBus.start() || !lockedBus.start() || !shownBus.start())
        return 1;
    StandIns closedServices(closedBus.address, QStringLiteral("notifications,logind"));
    StandIns lockedServices(lockedBus.address, QStringLiteral("notifications,logind"));
    StandIns shownServices(shownBus.address, QStringLiteral("notifications,logind"));
    if (!closedServices.ready() || !lockedServices.ready() || !shownServices.ready())
        return 1;
    const auto armed = [&laterConf](PrivateBus &bus) {
        const auto program = QSharedPointer<Program>::create(laterConf);
        program->env.remove(QStringLiteral("LD_PRELOAD"));
        // As the figures of the armed program beside the bare capture: no
        // motion hardware, whose looks the bare capture does not pay for.
        program->env.remove(QStringLiteral("QT_ACCEL_FILEPATH"));
        program->env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address);
        program->env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus.address);
        program->start();
        program->clickButton();
        return program;
    };
    const auto closed = armed(closedBus);
    QProcess::execute(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(ALARMCLOCK_SOURCE_DIR "/tests/closewindow.py"), closed->window });
    const auto locked = armed(lockedBus);
    lockedServices.process.write("lock\n");
    lockedServices.process.waitForBytesWritten();
    const auto shown = armed(shownBus);
    QProcess timer;
    timer.start(QStringLiteral(ONE_TIMER), QStringList());
    QProcess capture;
    capture.start(QStringLiteral(BARE_CAPTURE), QStringList());
    timer.waitForStarted();
    capture.waitForStarted();
    QTest::qWait(3000);

    const QVector<QPair<QString, qint64>> processes {
        { QStringLiteral("armed, window closed"), closed->process.processId() },
        { QStringLiteral("armed, window shown, screen locked"), locked->process.processId() },
        { QStringLiteral("armed, window shown"), shown->process.processId() },
        { QStringLiteral("floor: a Qt program waiting on one timer"), timer.processId() },
        { QStringLiteral("floor: a bare Qt capture of the microphone"), capture.processId() },
    };
    QVector<qint64> ticks;
    QVector<qint64> switched;
    for (const auto &process : processes) {
        ticks.append(cpuTicks(process.second));
        switched.append(switches(process.second));
    }
    QTest::qWait(seconds * 1000);
    out << "over the same " << seconds
        << " s, room humming, no motion hardware, alarm 3 h ahead on the real clock ("
        << sysconf(_SC_CLK_TCK) << " ticks a second); CPU ticks, context switches a second, "
        << "capture streams:\n";
    for (int i = 0; i < processes.size(); ++i) {
        const qint64 pid = processes[i].second;
        const qint64 used = cpuTicks(pid) - ticks[i];
        const double rate = double(switches(pid) - switched[i]) / seconds;
        out << "  " << processes[i].first << ": " << used << " ticks, "
            << QString::number(rate, 'f', 2) << " switches/s, " << captureStreams(pid)
            << " capture streams\n";
        ticks[i] = used;
    }
    out << "  ratio of the shown window's ticks to the bare capture's: "
        << QString::number(ticks[4] > 0 ? double(ticks[2]) / ticks[4] : 0, 'f', 2) << "\n";
    timer.kill();
    capture.kill();
    timer.waitForFinished();
    capture.waitForFinished();
    closedBus.stop();
    lockedBus.stop();
    shownBus.stop();
    return 0;
}
