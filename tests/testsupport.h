#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Helpers shared by the tests: a fresh working directory per test, the
// program's warning log, the wall clock when the test runs under
// libfaketime with a timestamp file, and what to do when something a test
// needs is missing.

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QSaveFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtGlobal>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace TestSupport {

// ctest shows a program that exits with this code as skipped, not passed.
const int skippedExit = 77;

// Where every case must run (CI, or the README's test command), a missing
// prerequisite is a failure; elsewhere the case is skipped.
inline bool mustRunEverything()
{
    return qEnvironmentVariableIsSet("CI") || qEnvironmentVariableIsSet("ALARMCLOCK_RUN_ALL");
}

inline int &prerequisitesMissed()
{
    static int missed = 0;
    return missed;
}

// The command line of a test run. Where ctest runs some of a program's test
// functions as entries of their own (the quick ones, or a long one beside
// the others), the entry for the rest names them in ALARMCLOCK_EXCEPT,
// separated by spaces, and runs every other test function, unless its
// command line names functions itself.
inline QStringList testArguments(const QMetaObject &test, int argc, char **argv)
{
    QStringList arguments;
    bool functionsNamed = false;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
        const bool optionValue = i > 1 && qstrcmp(argv[i - 1], "-o") == 0;
        functionsNamed = functionsNamed || (i > 0 && argv[i][0] != '-' && !optionValue);
    }
    const QStringList except = qEnvironmentVariable("ALARMCLOCK_EXCEPT")
                                   .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (except.isEmpty() || functionsNamed)
        return arguments;
    const QStringList fixtures { QStringLiteral("initTestCase"), QStringLiteral("cleanupTestCase"),
        QStringLiteral("init"), QStringLiteral("cleanup") };
    for (int i = test.methodOffset(); i < test.methodCount(); ++i) {
        const QMetaMethod method = test.method(i);
        const QString name = QString::fromLatin1(method.name());
        if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Private
            && method.parameterCount() == 0 && !name.endsWith(QLatin1String("_data"))
            && !fixtures.contains(name) && !except.contains(name))
            arguments.append(name);
    }
    return arguments;
}

// Runs the test object; a run that only passed because something it needs
// was missing reports itself as skipped.
template <typename Test> int runTests(Test &test, int argc, char **argv)
{
    const int failed = QTest::qExec(&test, testArguments(*test.metaObject(), argc, argv));
    const int status = failed == 0 && prerequisitesMissed() > 0 ? skippedExit : failed;
    // The toolkit's sound output tears its global state down at exit while
    // its own main loop thread may still run, and libpulse then aborts now
    // and then on a busy machine ("Assertion 'm->io_events_please_scan ==
    // 0' failed"), after every case has passed. The results are written by
    // now; only the leak check needs the exit to run its course.
    if (!qEnvironmentVariable("ASAN_OPTIONS").contains(QLatin1String("detect_leaks=1"))) {
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    return status;
}

// Waits as the program does, in a loop that sleeps until something wakes
// it: QTest::qWait() wakes the thread every 10 ms.
inline void waitAsTheProgram(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

inline QStringList &log()
{
    static QStringList messages;
    return messages;
}

inline void catchWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        log().append(message);
}

// Collects the program's warnings from now on, in order.
inline void captureLog()
{
    log().clear();
    qInstallMessageHandler(catchWarnings);
}

// Whether a log holds these lines in this order, whatever else was logged
// between them.
inline bool logHasInOrder(const QStringList &messages, const QStringList &lines)
{
    int from = 0;
    for (const QString &line : lines) {
        from = messages.indexOf(line, from);
        if (from < 0)
            return false;
        ++from;
    }
    return true;
}

inline bool logHasInOrder(const QStringList &lines)
{
    return logHasInOrder(log(), lines);
}

// A working directory of its own, holding the built-in sounds.
class WorkDir {
public:
    explicit WorkDir(bool withSounds = true)
    {
        previous = QDir::currentPath();
        QDir::setCurrent(dir.path());
        if (withSounds) {
            QDir().mkdir(QStringLiteral("sounds"));
            for (const char *name : { "ringin.wav", "warning.wav" })
                QFile::copy(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/sounds/") + QLatin1String(name),
                    QStringLiteral("sounds/") + QLatin1String(name));
        }
    }
    ~WorkDir() { QDir::setCurrent(previous); }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QString previous;
};

inline void writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

inline QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The wall clock as the program sees it, frozen at `when` ("2026-12-07
// 07:29:56") until the next call. Needs the test to run under libfaketime.
inline bool hasFakeClock()
{
    return qEnvironmentVariableIsSet("FAKETIME_TIMESTAMP_FILE");
}

inline void setWallClock(const char *when)
{
    // Replaced whole, so that no thread's clock ever reads a half-written file.
    QSaveFile file(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray(when) + '\n');
        file.commit();
    }
}

inline int &choosersSeen()
{
    static int seen = 0;
    return seen;
}

// Answers the next file chooser: picks `path`, or cancels when it is empty.
inline void answerChooser(const QString &path)
{
    QTimer *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        ++choosersSeen();
        poll->stop();
        poll->deleteLater();
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        }
    });
    poll->start(20);
}

// How long the first play of a short sound can last: without a sound output
// it ends only after the chosen sound and then the built-in one have each
// failed to load.
template <typename Window> constexpr int longestPlayMs()
{
    return 2 * Window::loadGraceMs + 1000;
}

// Peak amplitude (0 to 1) the speaker carries over `ms` milliseconds.
inline double speakerPeak(int ms)
{
    QProcess rec;
    rec.start(QStringLiteral("parec"),
        { QStringLiteral("-d"), QStringLiteral("speaker.monitor"), QStringLiteral("--format=s16le"),
            QStringLiteral("--rate=8000"), QStringLiteral("--channels=1"),
            QStringLiteral("--latency-msec=20") });
    if (!rec.waitForStarted())
        return -1.0;
    QTest::qWait(ms);
    const QByteArray bytes = rec.readAllStandardOutput();
    rec.kill();
    rec.waitForFinished();
    int peak = 0;
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        peak = qMax(peak, qAbs(int(qint16(quint8(bytes[i]) | quint8(bytes[i + 1]) << 8))));
    return peak / 32768.0;
}

inline bool runSox(const QStringList &arguments)
{
    QProcess sox;
    sox.start(QStringLiteral("sox"), arguments);
    return sox.waitForFinished() && sox.exitCode() == 0;
}

// A person clapping: four sharp claps a quarter of a second apart.
inline bool makeClaps(const QString &file)
{
    QProcess sox;
    sox.start(QStringLiteral("sox"),
        { "-n", "-r", "8000", "-b", "16", "-c", "1", file, "synth", "0.04", "whitenoise", "vol",
            "0.9", "pad", "0", "0.25", "repeat", "3" });
    return sox.waitForFinished() && sox.exitCode() == 0;
}

// Plays a file into the room through a low-latency stream, as a sound made
// next to the phone.
inline void playInRoom(QProcess &player, const QString &file)
{
    player.start(QStringLiteral("paplay"), { "--device=room", "--latency-msec=20", file });
    player.waitForStarted();
}

// A run of this test program in a child process: whether its tests passed,
// all it printed, and the lines that say what failed, for the parent's own
// failure message.
struct ChildRun {
    bool passed = false;
    QByteArray output;
    QByteArray failures;
};

inline ChildRun runSelf(const QProcessEnvironment &env, const QStringList &arguments, int ms,
    const QString &workingDirectory = QString())
{
    QProcess child;
    child.setProcessEnvironment(env);
    if (!workingDirectory.isEmpty())
        child.setWorkingDirectory(workingDirectory);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    ChildRun result;
    const bool finished = child.waitForFinished(ms);
    if (!finished) {
        child.kill();
        child.waitForFinished();
    }
    result.output = child.readAll();
    result.passed = finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    if (result.passed)
        return result;
    // A failure's own line and the location line that follows it, and
    // whatever a crash or a sanitizer printed.
    const QList<QByteArray> lines = result.output.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line.startsWith("FAIL!") || line.startsWith("QFATAL") || line.contains("ERROR: ")
            || line.contains("runtime error") || (i > 0 && lines[i - 1].startsWith("FAIL!")))
            result.failures += "\n    child: " + line;
    }
    if (!finished)
        result.failures
            += "\n    child: did not finish within " + QByteArray::number(ms / 1000) + " s";
    else if (child.exitStatus() != QProcess::NormalExit)
        result.failures += "\n    child: crashed";
    else if (result.failures.isEmpty())
        result.failures += "\n    child: exit status " + QByteArray::number(child.exitCode());
    fprintf(stderr, "---- child %s ----\n%s\n---- end of child ----\n",
        qPrintable(arguments.join(QLatin1Char(' '))), result.output.constData());
    return result;
}

// Passes when the child run passed, and names what failed in it otherwise.
#define QVERIFY_CHILD(run)                                                                         \
    do {                                                                                           \
        const TestSupport::ChildRun childRun = (run);                                              \
        QVERIFY2(childRun.passed, childRun.failures.constData());                                  \
    } while (false)

// Whether a sound server runs for the test, as the test command provides.
inline bool hasSoundServer()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), { QStringLiteral("info") });
    return pactl.waitForFinished() && pactl.exitCode() == 0;
}

} // namespace TestSupport

// Fails or skips the current case, naming what it needs, when that is missing.
#define REQUIRE_PREREQUISITE(present, what)                                                        \
    do {                                                                                           \
        if (!(present)) {                                                                          \
            if (TestSupport::mustRunEverything())                                                  \
                QFAIL("missing prerequisite: " what);                                              \
            ++TestSupport::prerequisitesMissed();                                                  \
            QSKIP("missing prerequisite: " what);                                                  \
        }                                                                                          \
    } while (false)

#define REQUIRE_FAKE_CLOCK()                                                                       \
    REQUIRE_PREREQUISITE(TestSupport::hasFakeClock(),                                              \
        "libfaketime (package faketime), preloaded by ctest with a timestamp file")

#define REQUIRE_SOUND_SERVER()                                                                     \
    REQUIRE_PREREQUISITE(TestSupport::hasSoundServer(),                                            \
        "a PulseAudio sound server (package pulseaudio; scripts/test.sh starts one)")

#define ALARM_TEST_MAIN(TestClass)                                                                 \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return TestSupport::runTests(test, argc, argv);                                            \
    }

#endif // TESTSUPPORT_H
