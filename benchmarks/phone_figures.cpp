// Figures for the built program on the virtual phone, each beside its floor
// measured in the same run: start-up time, CPU while armed (beside a bare Qt
// capture of the same stream), peak memory, the delay from a loud sound in
// the room to the stop (beside the delay parec sees on the same
// microphone), how often the alarm stops itself with the speaker heard
// in the room, and how soon a muted speaker carries the alarm. Run through benchmarks/phone.sh,
// which starts the phone.
//
//   phone_figures [RUNS [ALARMS]]

#include "phone.h"

#include <QCoreApplication>
#include <QDir>
#include <QMap>
#include <QRandomGenerator>
#include <QTextStream>

#include <algorithm>
#include <unistd.h>

using namespace Phone;

namespace {

const QByteArray toneConf("mine.wav\n07:30:00\n1\n1\n8\n1\n");

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

QString list(const QVector<double> &values, int decimals = 0)
{
    QStringList texts;
    for (double v : values)
        texts.append(QString::number(v, 'f', decimals));
    return texts.join(QLatin1Char(' '));
}

// User plus system CPU seconds the process has used.
double cpuSeconds(qint64 pid)
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/%1/stat").arg(pid)).split(' ');
    return (fields.value(13).toDouble() + fields.value(14).toDouble()) / sysconf(_SC_CLK_TCK);
}

// CPU time of a thread (its /proc task directory) in milliseconds: the
// scheduler's own account, finer than ticks.
double taskMs(const QString &task)
{
    return readFile(task + QStringLiteral("/schedstat")).split(' ').value(0).toDouble() / 1e6;
}

// CPU time of the process's main thread, where the window and the motion
// sensors run.
double mainThreadMs(qint64 pid)
{
    return taskMs(QStringLiteral("/proc/%1/task/%1").arg(pid));
}

// CPU time of each of the process's threads, by name, in milliseconds.
QMap<QString, double> threadMs(qint64 pid)
{
    QMap<QString, double> threads;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString task = tasks + QLatin1Char('/') + tid;
        const QString name = QString::fromUtf8(readFile(task + QStringLiteral("/comm")).trimmed());
        threads[name] += taskMs(task);
    }
    return threads;
}

// How a minute's CPU time split between the threads.
QString threadList(const QMap<QString, double> &before, const QMap<QString, double> &after)
{
    QStringList texts;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const double used = it.value() - before.value(it.key());
        if (used >= 1)
            texts.append(it.key() + QLatin1Char(' ') + QString::number(used, 'f', 0));
    }
    return texts.join(QStringLiteral(", "));
}

QString statusField(qint64 pid, const char *name)
{
    for (const QByteArray &line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith(name))
            return QString::fromLatin1(line.mid(qstrlen(name))).simplified();
    return QString();
}

// The user's own alarm sound: a plain 1.5 s tone with no silence at its end.
bool prepareTone(Program &program)
{
    return makeTone(program.file(QStringLiteral("mine.wav")), QStringLiteral("1.5"),
        QStringLiteral("440"), QStringLiteral("0.8"));
}

// A stream into the room that plays what is written to it at once, and a
// recorder on the microphone asking for the same 20 ms as the room's hum,
// so neither changes how the room is delivered.
struct RoomProbe {
    QProcess player;
    QProcess recorder;
    QByteArray heard;
    void start()
    {
        player.start(QStringLiteral("pacat"),
            { "--device=room", "--latency-msec=20", "--format=s16le", "--rate=8000", "--channels=1",
                "--raw" });
        recorder.start(QStringLiteral("parec"),
            { "--format=s16le", "--rate=8000", "--channels=1", "--latency-msec=20", "--raw" });
        player.waitForStarted();
        recorder.waitForStarted();
    }
    // Whether the microphone has heard a sample above half scale since the
    // last call.
    bool heardLoud()
    {
        heard = recorder.readAllStandardOutput();
        for (int i = 0; i + 1 < heard.size(); i += 2)
            if (qAbs(int(qint16(quint8(heard[i]) | quint8(heard[i + 1]) << 8))) > 16384)
                return true;
        return false;
    }
    ~RoomProbe()
    {
        player.kill();
        recorder.kill();
        player.waitForFinished();
        recorder.waitForFinished();
    }
};

// Four claps of white noise at 0.9, a quarter of a second apart.
QByteArray claps()
{
    QByteArray samples;
    for (int clap = 0; clap < 4; ++clap) {
        for (int i = 0; i < 2000; ++i) {
            const qint16 value
                = i < 320 ? qint16(QRandomGenerator::global()->bounded(-29490, 29490)) : qint16(0);
            samples.append(char(value & 0xff)).append(char((value >> 8) & 0xff));
        }
    }
    return samples;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 5;
    const int alarms = argc > 2 ? QByteArray(argv[2]).toInt() : 20;

    const QString state = qEnvironmentVariable("PHONE_STATE");
    const QByteArray server = readFile(state + QStringLiteral("/sound-server.pid")).trimmed();
    const QByteArray hum = readFile(state + QStringLiteral("/hum.pid")).trimmed();

    // Start to window: the program and an empty main window, taken in
    // turns, with nothing playing into the room (the microphone's source
    // idle, as a phone's is at night); then with a sound server that
    // answers only after 1.5 s, as a microphone waking from its power
    // saving may.
    QProcess::execute(QStringLiteral("kill"), { "-STOP", "--", "-" + QString::fromLatin1(hum) });
    QTest::qWait(2000);
    QVector<double> startup;
    QVector<double> empty;
    QVector<double> emptyNoGl;
    QVector<double> slow;
    for (int i = 0; i < runs; ++i) {
        Program program(toneConf);
        prepareTone(program);
        if (!program.start())
            return 1;
        startup.append(program.shownAfterMs);
        // The program leaves the GL drivers unloaded; the same floor
        // without them shows what its own work costs.
        for (QVector<double> *floor : { &empty, &emptyNoGl }) {
            Program bare(toneConf);
            bare.command = QStringLiteral(EMPTY_WINDOW);
            if (floor == &emptyNoGl)
                bare.env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
            if (!bare.start())
                return 1;
            floor->append(bare.shownAfterMs);
        }
    }
    for (int i = 0; i < runs; ++i) {
        Program program(toneConf);
        prepareTone(program);
        QProcess::execute(QStringLiteral("kill"), { "-STOP", QString::fromLatin1(server) });
        QProcess::startDetached(
            QStringLiteral("sh"), { "-c", "sleep 1.5; kill -CONT " + QString::fromLatin1(server) });
        if (!program.start())
            return 1;
        slow.append(program.shownAfterMs);
        QTest::qWait(1500);
    }
    QProcess::execute(QStringLiteral("kill"), { "-CONT", "--", "-" + QString::fromLatin1(hum) });
    out << "start to window shown (xdotool sees it mapped), room idle, median of " << runs
        << ": program " << median(startup) << " ms (" << list(startup) << "); empty Qt main window "
        << median(empty) << " ms (" << list(empty) << "); ratio "
        << QString::number(median(startup) / median(empty), 'f', 2) << "\n";
    out << "  the same floor without GL drivers (QT_XCB_GL_INTEGRATION=none, as the program): "
        << median(emptyNoGl) << " ms (" << list(emptyNoGl) << "); ratio "
        << QString::number(median(startup) / median(emptyNoGl), 'f', 2) << "\n";
    out << "start to window shown, sound server answering after 1.5 s: median " << median(slow)
        << " ms (" << list(slow) << ")\n";
    out.flush();

    // Armed for later, window shown, the room humming; beside it a bare Qt
    // capture of the same microphone over the same minute.
    // The program runs on the real clock here, set for two hours ahead:
    // libfaketime, which reads its clock file at every time call, would
    // cost the program CPU that the bare capture does not pay.
    const QByteArray laterConf = "mine.wav\n"
        + QTime::currentTime().addSecs(7200).toString(QStringLiteral("HH:mm:ss")).toLatin1()
        + "\n1\n1\n8\n1\n";
    const auto armedLater = [&laterConf](bool iio) {
        const auto program = QSharedPointer<Program>::create(laterConf);
        program->env.remove(QStringLiteral("LD_PRELOAD"));
        prepareTone(*program);
        program->env.remove(QStringLiteral("QT_ACCEL_FILEPATH"));
        if (iio)
            program->useIioAccelerometer();
        program->start();
        program->clickButton();
        return program;
    };
    // Each program's CPU seconds, main thread's milliseconds and threads
    // over a minute, followed by those of the bare captures started beside
    // them. The sound server's thread in each process (threaded-ml) does the
    // same work in both, yet its minute varies by a quarter from process to
    // process: a figure needs several of each.
    struct Minute {
        QVector<double> cpu;
        QVector<double> main;
        // Each thread's milliseconds, by name.
        QVector<QString> threads;
    };
    const auto armedMinute
        = [](const QVector<QSharedPointer<Program>> &programs, const QVector<QStringList> &bares) {
              QVector<QSharedPointer<QProcess>> captures;
              for (const QStringList &arguments : bares) {
                  captures.append(QSharedPointer<QProcess>::create());
                  captures.last()->start(QStringLiteral(BARE_CAPTURE), arguments);
                  captures.last()->waitForStarted();
              }
              QTest::qWait(2000);
              QVector<qint64> pids;
              for (const auto &program : programs)
                  pids.append(program->process.processId());
              for (const auto &capture : qAsConst(captures))
                  pids.append(capture->processId());
              Minute minute;
              QVector<QMap<QString, double>> threadsBefore;
              for (const qint64 pid : qAsConst(pids)) {
                  minute.cpu.append(cpuSeconds(pid));
                  minute.main.append(mainThreadMs(pid));
                  threadsBefore.append(threadMs(pid));
              }
              QTest::qWait(60000);
              for (int i = 0; i < pids.size(); ++i) {
                  minute.cpu[i] = cpuSeconds(pids[i]) - minute.cpu[i];
                  minute.main[i] = mainThreadMs(pids[i]) - minute.main[i];
                  minute.threads.append(threadList(threadsBefore[i], threadMs(pids[i])));
              }
              for (const auto &capture : qAsConst(captures)) {
                  capture->kill();
                  capture->waitForFinished();
              }
              return minute;
          };
    // Three programs without motion hardware and three bare captures, their
    // medians compared: a process whose sound server thread has a bad minute
    // would move a mean by a third.
    {
        QVector<QSharedPointer<Program>> programs;
        for (int i = 0; i < 3; ++i)
            programs.append(armedLater(false));
        const Minute minute = armedMinute(programs, QVector<QStringList>(3));
        const double used = median(minute.cpu.mid(0, 3));
        const double bareUsed = median(minute.cpu.mid(3, 3));
        out << "CPU while armed, window shown, room humming, 60 s, no motion hardware: programs "
            << list(minute.cpu.mid(0, 3), 2) << " s, median " << used << " s (" << used / 60 * 100
            << " % of one core); bare QAudioInput on the same microphone "
            << list(minute.cpu.mid(3, 3), 2) << " s, median " << bareUsed << " s ("
            << bareUsed / 60 * 100 << " %); ratio of the medians "
            << QString::number(bareUsed > 0 ? used / bareUsed : 0, 'f', 2) << "\n";
        for (int i = 0; i < minute.threads.size(); ++i)
            out << "  by thread, ms, " << (i < 3 ? "program" : "bare") << ": " << minute.threads[i]
                << "\n";
        out << "peak resident memory: " << statusField(programs[0]->process.processId(), "VmHWM:")
            << "\n";
        out.flush();
    }
    // What the IIO backend adds. It runs on the main thread, so that thread's
    // CPU time is compared: two programs reading an IIO accelerometer at
    // 20 Hz and two without motion hardware, all armed over the same minute,
    // beside two bare captures, and beside two more that read the same
    // files at 20 Hz: what those reads cost a bare Qt program is the floor.
    // Taken one after the other, the minutes differ more than the backend
    // costs.
    {
        QVector<QSharedPointer<Program>> programs;
        for (const bool iio : { true, true, false, false })
            programs.append(armedLater(iio));
        const QStringList reading { QStringLiteral("--iio"), programs[0]->iioDevice };
        const Minute minute = armedMinute(programs, { {}, {}, reading, reading });
        const double with = (minute.cpu[0] + minute.cpu[1]) / 2;
        const double bareUsed = (minute.cpu[4] + minute.cpu[5]) / 2;
        // How much longer, on average, the pair of main threads from `with`
        // ran than the pair from `without`, and the figures it comes from.
        const auto addedMs = [&minute](int with, int without) {
            return (minute.main[with] + minute.main[with + 1] - minute.main[without]
                       - minute.main[without + 1])
                / 2;
        };
        const auto addedText = [&minute, &addedMs](int with, int without) {
            const double ms = addedMs(with, without);
            return list(minute.main.mid(with, 2)) + QStringLiteral(" ms, without ")
                + list(minute.main.mid(without, 2)) + QStringLiteral(" ms; ")
                + QString::number(ms, 'f', 0) + QStringLiteral(" ms a minute, ")
                + QString::number(ms / 600, 'f', 3) + QStringLiteral(" % of one core");
        };
        const double added = addedMs(0, 2);
        out << "CPU while armed, window shown, room humming, 60 s, IIO accelerometer at 20 Hz: "
               "programs "
            << list(minute.cpu.mid(0, 2), 2) << " s, mean " << with << " s (" << with / 60 * 100
            << " % of one core); bare QAudioInput " << list(minute.cpu.mid(4, 2), 2) << " s, mean "
            << bareUsed << " s; ratio "
            << QString::number(bareUsed > 0 ? with / bareUsed : 0, 'f', 2) << "\n";
        out << "  added by the IIO backend, main thread's CPU in the same minute: with it "
            << addedText(0, 2) << "\n";
        const double floorAdded = addedMs(6, 4);
        out << "  the floor, a bare capture reading the same three files at 20 Hz on its main "
               "thread: with the reads "
            << addedText(6, 4) << "; ratio "
            << QString::number(floorAdded > 0 ? added / floorAdded : 0, 'f', 2) << "\n";
        const double without = (minute.cpu[2] + minute.cpu[3]) / 2;
        out << "  the two without motion hardware in that minute: " << list(minute.cpu.mid(2, 2), 2)
            << " s; ratio to the bare captures "
            << QString::number(bareUsed > 0 ? without / bareUsed : 0, 'f', 2) << "\n";
        for (int i = 0; i < minute.threads.size(); ++i)
            out << "  by thread, ms, "
                << (i < 2          ? "IIO"
                           : i < 4 ? "without"
                           : i < 6 ? "bare"
                                   : "bare reading IIO")
                << ": " << minute.threads[i] << "\n";
        out.flush();
    }
    {
        QProcess chunks;
        chunks.start(QStringLiteral(BARE_CAPTURE), { QStringLiteral("--chunks") });
        chunks.waitForFinished(10000);
        out << "the microphone delivers " << chunks.readAllStandardOutput();
        out.flush();
    }

    // Claps in the room during a pause of the ringing, to the log's "alarm
    // stopped by sound"; beside it, when parec on the same microphone hears
    // the first clap.
    QVector<double> delays;
    QVector<double> floors;
    for (int i = 0; i < runs; ++i) {
        Program program(toneConf);
        prepareTone(program);
        program.start();
        program.clickButton();
        Speaker speaker;
        speaker.start();
        RoomProbe room;
        room.start();
        if (speaker.waitForLoud(0.3, 15000) < 0.3 || !speaker.waitForPause(10000))
            continue;
        room.heardLoud();
        QElapsedTimer delay;
        room.player.write(claps());
        room.player.waitForBytesWritten();
        delay.start();
        double floor = -1;
        double stopped = -1;
        while (delay.elapsed() < 3000 && (floor < 0 || stopped < 0)) {
            QTest::qWait(2);
            if (floor < 0 && room.heardLoud())
                floor = delay.elapsed();
            if (stopped < 0 && program.log().contains(QStringLiteral("alarm stopped by sound")))
                stopped = delay.elapsed();
        }
        if (stopped >= 0)
            delays.append(stopped);
        if (floor >= 0)
            floors.append(floor);
    }
    out << "claps in the room to \"alarm stopped by sound\": median " << median(delays)
        << " ms over " << delays.size() << " of " << runs << " runs (" << list(delays)
        << "); parec on the same microphone heard them after a median of " << median(floors)
        << " ms (" << list(floors) << ")\n";
    out.flush();

    // A shout that begins in the last half second of a play and goes on into
    // the pause: from the pause's start at the speaker (the play's end at
    // the microphone, an echo delay sooner) to the stop.
    const int echo = qEnvironmentVariableIntValue("PHONE_ECHO_MS");
    QVector<double> shouts;
    for (int i = 0; i < runs; ++i) {
        Program program(toneConf, "@2026-12-07 07:29:53");
        prepareTone(program);
        makeTone(program.file(QStringLiteral("shout.wav")), QStringLiteral("2"),
            QStringLiteral("700"), QStringLiteral("0.9"));
        program.start();
        program.clickButton();
        Speaker microphone(QStringLiteral("room.monitor"));
        microphone.start();
        qint64 heard = -1;
        while ((heard = microphone.soundStartedMs(2, 9800, 1600)) < 0
            && microphone.clock.elapsed() < 30000)
            QTest::qWait(10);
        if (heard < 0)
            continue;
        const qint64 pause = heard + 1500 - echo;
        while (microphone.clock.elapsed() < pause - 500)
            QTest::qWait(5);
        QProcess shout;
        playInRoom(shout, program.file(QStringLiteral("shout.wav")));
        if (program.waitForLog(QStringLiteral("alarm stopped by sound"), 4000))
            shouts.append(microphone.clock.elapsed() - pause);
        shout.waitForFinished();
    }
    out << "a shout begun in the last 0.5 s of a play, from the pause's start to \"alarm stopped "
           "by sound\" (echo "
        << echo << " ms): median " << median(shouts) << " ms over " << shouts.size() << " of "
        << runs << " runs (" << list(shouts) << ")\n";
    out.flush();

    // The speaker heard in the room, the user's own tone: three plays each.
    int selfStops = 0;
    int rung = 0;
    for (int i = 0; i < alarms; ++i) {
        Program program(toneConf, "@2026-12-07 07:29:54");
        prepareTone(program);
        program.start();
        program.clickButton();
        Speaker speaker;
        speaker.start();
        QElapsedTimer ringing;
        ringing.start();
        bool stopped = false;
        // Three plays and the pause after the third: until the fourth begins.
        while (speaker.soundStartedMs(4) < 0 && ringing.elapsed() < 40000 && !stopped) {
            QTest::qWait(100);
            stopped = program.log().contains(QStringLiteral("alarm stopped by sound"));
        }
        stopped = program.log().contains(QStringLiteral("alarm stopped by sound"));
        selfStops += stopped ? 1 : 0;
        rung += speaker.soundStartedMs(4) >= 0 || stopped ? 1 : 0;
    }
    out << "alarms that stopped themselves, speaker heard in the room (echo "
        << qEnvironmentVariable("PHONE_ECHO_MS")
        << " ms), user's 1.5 s tone, three plays and their pauses each: " << selfStops << " of "
        << rung << "\n";

    // From a speaker muted for the night: how long after the alarm moment
    // the speaker first carries the alarm at the alarm volume, beside the
    // same alarm with the speaker left at full volume.
    QMap<QString, QVector<double>> loudAfter;
    for (int i = 0; i < runs; ++i) {
        for (const QString &start : { QStringLiteral("muted"), QStringLiteral("full") }) {
            run(QStringLiteral("pactl"),
                { "set-sink-mute", "speaker", start == QLatin1String("muted") ? "1" : "0" });
            Program program("sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n", "@2026-12-07 07:29:55");
            Speaker speaker;
            speaker.start();
            QElapsedTimer sinceStart;
            sinceStart.start();
            program.start();
            program.clickButton();
            // The ringing sound peaks at about 0.2 at 70 % and 0.6 at full.
            const qint64 loud = [&] {
                qint64 at = -1;
                while ((at = speaker.soundStartedMs(1, 3000, 300)) < 0
                    && speaker.clock.elapsed() < 15000)
                    QTest::qWait(5);
                return at;
            }();
            if (loud >= 0)
                loudAfter[start].append(loud - 5000);
            program.clickButton();
        }
    }
    run(QStringLiteral("pactl"), { "set-sink-mute", "speaker", "0" });
    out << "from a muted speaker, the alarm heard at the alarm volume after the alarm moment: "
           "median "
        << median(loudAfter.value("muted")) << " ms (" << list(loudAfter.value("muted"))
        << "); with the speaker at full volume: median " << median(loudAfter.value("full"))
        << " ms (" << list(loudAfter.value("full")) << ")\n";
    return delays.size() == runs && shouts.size() == runs && rung == alarms ? 0 : 1;
}
