#ifndef PHONE_H
#define PHONE_H

// The built program on the virtual phone (scripts/virtual-phone.sh), seen
// from outside: its window, the speaker, the room, the accelerometer file,
// its log and its settings file.

#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace Phone {

using namespace TestSupport;

// Where the alarm button sits in the program's window.
const int buttonX = 297;
const int buttonY = 297;
const QString buttonCrop = QStringLiteral("500x16+48+289");

inline QString run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    p.waitForFinished(20000);
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
}

inline bool makeTone(
    const QString &file, const QString &seconds, const QString &freq, const QString &volume)
{
    QProcess sox;
    sox.start(QStringLiteral("sox"),
        { "-n", "-r", "8000", "-b", "16", "-c", "1", file, "synth", seconds, "sine", freq, "vol",
            volume });
    return sox.waitForFinished() && sox.exitCode() == 0;
}

// How many plays the speaker carried: sounds after at least 300 ms of
// silence (a sound's own short gaps do not count as pauses).
inline int plays(const QVector<double> &peaks)
{
    int count = 0;
    int silent = 3;
    for (double peak : peaks) {
        if (peak > 0.3 && silent >= 3)
            ++count;
        silent = peak < 0.01 ? silent + 1 : 0;
    }
    return count;
}

// Whether the speaker's last 300 ms were silent after it had carried sound.
inline bool inPause(const QVector<double> &peaks)
{
    return plays(peaks) > 0 && peaks.size() >= 3 && peaks[peaks.size() - 1] < 0.01
        && peaks[peaks.size() - 2] < 0.01 && peaks[peaks.size() - 3] < 0.01;
}

inline double loudest(const QVector<double> &peaks, int from = 0)
{
    double m = 0;
    for (int i = from; i < peaks.size(); ++i)
        m = qMax(m, peaks[i]);
    return m;
}

// Records what the speaker carries, as peaks of 100 ms windows from 0 to 1.
class Speaker {
public:
    // What the phone's speaker carries, or (with "room.monitor") what its
    // microphone hears.
    explicit Speaker(const QString &source = QStringLiteral("speaker.monitor"))
        : source(source)
    {
    }
    void start()
    {
        rec.start(QStringLiteral("parec"),
            { "-d", source, "--format=s16le", "--rate=8000", "--channels=1", "--latency-msec=20" });
        rec.waitForStarted();
        clock.start();
    }
    // When, in milliseconds of clock, the nth sound above `loud` began after
    // at least 300 ms below `quiet` (counted from 1), to the sample; -1 if
    // not yet. Tests ask this every few milliseconds: each sample is looked
    // at once.
    qint64 soundStartedMs(int nth, int loud = 3000, int quiet = 300)
    {
        peaks();
        auto onset = std::find_if(onsets.begin(), onsets.end(),
            [&](const Onsets &o) { return o.loud == loud && o.quiet == quiet; });
        if (onset == onsets.end())
            onset = onsets.insert(onsets.end(), Onsets { loud, quiet, 0, 2400, {} });
        for (; onset->at + 1 < bytes.size(); onset->at += 2) {
            const int sample = sampleAt(onset->at);
            if (sample > loud) {
                if (onset->silent >= 2400)
                    onset->starts.append(onset->at);
                onset->silent = 0;
            } else if (sample < quiet) {
                ++onset->silent;
            }
        }
        return onset->starts.size() >= nth ? clockAt(onset->starts[nth - 1]) : -1;
    }
    QElapsedTimer clock;
    QVector<double> peaks()
    {
        const QByteArray more = rec.readAllStandardOutput();
        if (!more.isEmpty()) {
            bytes += more;
            deliveries.append({ bytes.size(), clock.elapsed() - bytes.size() / 16 });
        }
        for (; windowsAt + 1600 <= bytes.size(); windowsAt += 1600) {
            int peak = 0;
            for (int i = windowsAt; i < windowsAt + 1600; i += 2)
                peak = qMax(peak, sampleAt(i));
            windows.append(peak / 32768.0);
        }
        return windows;
    }
    // Waits until the speaker is in a pause between plays.
    bool waitForPause(int ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (!inPause(peaks()) && waited.elapsed() < ms)
            QTest::qWait(20);
        return inPause(peaks());
    }
    // Waits until the speaker carries a sound above `level`; the loudest heard.
    double waitForLoud(double level, int ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (loudest(peaks()) <= level && waited.elapsed() < ms)
            QTest::qWait(50);
        return loudest(peaks());
    }
    void stop()
    {
        rec.kill();
        rec.waitForFinished();
    }
    ~Speaker() { stop(); }

private:
    // When, in milliseconds of clock, the sample at byte `at` was recorded.
    // Samples come 16 bytes a millisecond, but not quite at the clock's
    // pace (PipeWire's monitors fall behind it by a second a minute): each
    // delivery tells how late the recording is against the clock, and the
    // earliest of those in the second after the sample, the least delayed
    // by the test's own reads, tells it for that sample.
    qint64 clockAt(int at) const
    {
        qint64 lag = deliveries.isEmpty() ? 0 : deliveries.last().second;
        for (const auto &delivery : deliveries) {
            if (delivery.first > at + 16000)
                break;
            if (delivery.first > at)
                lag = qMin(lag, delivery.second);
        }
        return at / 16 + lag;
    }
    int sampleAt(int i) const
    {
        return qAbs(int(qint16(quint8(bytes[i]) | quint8(bytes[i + 1]) << 8)));
    }
    // Where each search for sounds has looked up to, and the bytes at which
    // the sounds it found began.
    struct Onsets {
        int loud;
        int quiet;
        int at;
        int silent;
        QVector<qint64> starts;
    };
    QString source;
    QProcess rec;
    QByteArray bytes;
    // Each delivery: the bytes recorded by then, and how late the recording
    // was against the clock.
    QVector<QPair<int, qint64>> deliveries;
    QVector<double> windows;
    int windowsAt = 0;
    QVector<Onsets> onsets;
};

// The program in a fresh working directory, its clock starting at 07:29:50,
// with the built-in sounds beside it as in the build tree, or without.
class Program {
public:
    explicit Program(const QByteArray &conf, const QByteArray &clock = "@2026-12-07 07:29:50",
        bool withSounds = true)
    {
        QDir(dir.path()).mkdir(QStringLiteral("sounds"));
        for (const char *name : { "ringin.wav", "warning.wav" }) {
            if (withSounds)
                QFile::copy(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/sounds/") + QLatin1String(name),
                    file(QStringLiteral("sounds/") + QLatin1String(name)));
        }
        if (!conf.isEmpty())
            writeFile(file(QStringLiteral("alarm.conf")), conf);
        lie(QByteArray("0,0,-9.8"));
        setClock(clock);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_ACCEL_FILEPATH"), file(QStringLiteral("accelerometer")));
        env.insert(QStringLiteral("QT_ACCEL_DELIMITER"), QStringLiteral(","));
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAKETIME_LIBRARY));
        env.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), file(QStringLiteral("clock")));
        env.insert(QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1"));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        // Files keep their real times: shifted ones would make fontconfig
        // rescan every font at each start, which no phone does.
        env.insert(QStringLiteral("NO_FAKE_STAT"), QStringLiteral("1"));
    }
    ~Program()
    {
        // A failed case shows what the program said.
        if (QTest::currentTestFailed()) {
            for (const QString &line : log())
                qInfo("program: %s", qPrintable(line));
        }
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }

    QString file(const QString &name) const { return dir.path() + QLatin1Char('/') + name; }
    // Sets the program's wall clock ("@2026-12-07 07:29:55"), which runs on
    // from there; replaced whole, so that no read sees half a file.
    void setClock(const QByteArray &when)
    {
        QSaveFile clock(file(QStringLiteral("clock")));
        if (clock.open(QIODevice::WriteOnly)) {
            clock.write(when + '\n');
            clock.commit();
        }
    }
    // How the phone lies or moves: "x,y,z" in metres per second squared,
    // each axis pointing the way gravity pulls ("0,0,-9.8": face up), for
    // Qt's file-driven accelerometer or, after useIioAccelerometer(), as the
    // raw axes of an IIO device.
    void lie(const QByteArray &axes)
    {
        if (iioDevice.isEmpty()) {
            writeFile(file(QStringLiteral("accelerometer")), axes + '\n');
            return;
        }
        const QList<QByteArray> values = axes.split(',');
        const char *const names[3] = { "x", "y", "z" };
        for (int axis = 0; axis < 3; ++axis)
            writeFile(iioDevice + QStringLiteral("/in_accel_%1_raw").arg(names[axis]),
                QByteArray::number(qRound(values.value(axis).toDouble() / iioScale)) + '\n');
    }

    // The phone's accelerometer as a Linux phone shows it: an IIO device in
    // a tree laid out as sysfs, read by the program's own backend.
    void useIioAccelerometer()
    {
        iioDevice = file(QStringLiteral("iio/iio:device0"));
        QDir().mkpath(iioDevice);
        writeFile(iioDevice + QStringLiteral("/name"), "accel\n");
        writeFile(iioDevice + QStringLiteral("/in_accel_scale"),
            QByteArray::number(iioScale, 'f', 6) + '\n');
        lie("0,0,-9.8");
        env.remove(QStringLiteral("QT_ACCEL_FILEPATH"));
        env.remove(QStringLiteral("QT_ACCEL_DELIMITER"));
        env.insert(QStringLiteral("ALARMCLOCK_IIO_DIR"), file(QStringLiteral("iio")));
    }

    bool start()
    {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workingDirectory.isEmpty() ? dir.path() : workingDirectory);
        process.setStandardErrorFile(file(QStringLiteral("log")));
        process.start(command, arguments);
        QElapsedTimer started;
        started.start();
        if (!process.waitForStarted())
            return false;
        // Looked for every few milliseconds over one connection, rather than
        // with xdotool's --sync, which looks only every half second.
        QProcess wait;
        wait.start(QStringLiteral("/usr/bin/python3"),
            { QStringLiteral(ALARMCLOCK_SOURCE_DIR "/tests/waitwindow.py"),
                QString::number(process.processId()), QStringLiteral("MainWindow") });
        while (wait.state() != QProcess::NotRunning && process.state() == QProcess::Running)
            wait.waitForFinished(5);
        wait.kill();
        wait.waitForFinished();
        window = QString::fromLatin1(wait.readAllStandardOutput().trimmed());
        if (window.isEmpty())
            qWarning("no window: %s", qPrintable(log().join(QLatin1Char('\n'))));
        shownAfterMs = started.elapsed();
        QTest::qWait(300);
        return !window.isEmpty();
    }

    // Cancels the file chooser the program opens, as a person would with Escape.
    bool cancelChooser()
    {
        const QString chooser = run(QStringLiteral("xdotool"),
            { "search", "--sync", "--onlyvisible", "--name", "^Open File$" })
                                    .section(QLatin1Char('\n'), 0, 0);
        if (chooser.isEmpty())
            return false;
        run(QStringLiteral("xdotool"), { "windowfocus", "--sync", chooser, "key", "Escape" });
        QTest::qWait(300);
        return run(
            QStringLiteral("xdotool"), { "search", "--onlyvisible", "--name", "^Open File$" })
            .isEmpty();
    }

    void clickButton()
    {
        run(QStringLiteral("xdotool"),
            { "mousemove", "--window", window, QString::number(buttonX), QString::number(buttonY),
                "click", "1" });
        QTest::qWait(150);
    }

    QStringList log() const
    {
        return QString::fromUtf8(readFile(file(QStringLiteral("log")))).split(QLatin1Char('\n'));
    }
    // Whether the program has ended, or ends within `ms`: it may have ended
    // while the test waited for something else.
    bool ended(int ms)
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(ms);
    }

    bool waitForLog(const QString &line, int ms) const
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            if (log().contains(line))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    // A screenshot kept for a person to look at, and the alarm button cut from it.
    QString screenshot(const QString &name)
    {
        // Runs under another sound server keep theirs apart.
        const QString dir = qEnvironmentVariable(
            "ALARMCLOCK_SCREENSHOT_DIR", QStringLiteral(ALARMCLOCK_SCREENSHOTS));
        QDir().mkpath(dir);
        const QString shot = dir + QLatin1Char('/') + name + QStringLiteral(".png");
        run(QStringLiteral("import"), { "-window", "root", shot });
        const QString crop = file(name + QStringLiteral("-button.png"));
        run(QStringLiteral("convert"), { shot, "-crop", buttonCrop, "+repage", crop });
        return crop;
    }

    QTemporaryDir dir;
    // What start() runs, where and how; the program itself in its own
    // directory unless a test says otherwise.
    QString command = QStringLiteral(ALARMCLOCK_PROGRAM);
    QStringList arguments;
    QString workingDirectory;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString iioDevice;
    const double iioScale = 0.009576;
    QProcess process;
    QString window;
    qint64 shownAfterMs = 0;
};

// The first alarm of a fresh start, as a new user meets it: Set Alarm, the
// chooser (the default sound is no file) cancelled, and the alarm heard on
// the speaker, with the sound built into the program; then stopped.
inline void hearFirstAlarm(Program &program, const QString &screenshot)
{
    program.clickButton();
    QVERIFY(program.cancelChooser());
    QVERIFY(program.waitForLog(QStringLiteral("\"Initial Orientation: 5\""), 9000));
    Speaker speaker;
    speaker.start();
    const double heard = speaker.waitForLoud(0.3, 8000);
    QVERIFY2(heard > 0.3, qPrintable(QString::number(heard)));
    program.screenshot(screenshot);
    program.clickButton();
}

// How late the phone's speaker is heard in the room: the virtual phone's
// loopback from the speaker into the room, set anew.
inline void setEcho(int ms)
{
    const QStringList modules = run(QStringLiteral("pactl"), { "list", "short", "modules" })
                                    .split(QLatin1Char('\n'))
                                    .filter(QStringLiteral("module-loopback"));
    for (const QString &module : modules)
        run(QStringLiteral("pactl"), { "unload-module", module.section(QLatin1Char('\t'), 0, 0) });
    if (ms > 0)
        run(QStringLiteral("pactl"),
            { "load-module", "module-loopback", "source=speaker.monitor", "sink=room",
                "latency_msec=" + QString::number(ms), "source_dont_move=true",
                "sink_dont_move=true" });
}

inline bool sameImage(const QString &a, const QString &b)
{
    return run(QStringLiteral("compare"), { "-metric", "AE", a, b, "null:" }) == QLatin1String("0");
}

} // namespace Phone

// The virtual phone that scripts/test.sh starts: a display, the sound
// server, and libfaketime to start the program's clock where a run needs it.
#define REQUIRE_VIRTUAL_PHONE()                                                                    \
    do {                                                                                           \
        REQUIRE_PREREQUISITE(!qEnvironmentVariableIsEmpty("DISPLAY"),                              \
            "an X display (package xvfb; scripts/test.sh starts one)");                            \
        REQUIRE_SOUND_SERVER();                                                                    \
        REQUIRE_PREREQUISITE(QFile::exists(QStringLiteral(FAKETIME_LIBRARY)),                      \
            "libfaketime (package faketime), found when the build was configured");                \
    } while (false)

#endif // PHONE_H
