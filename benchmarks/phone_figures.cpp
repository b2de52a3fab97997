// Figures for the built program on the virtual phone: start-up time, peak
// memory, CPU while armed, and how quickly a loud sound stops the alarm.
// Run through benchmarks/phone.sh, which starts the phone.

#include "phone.h"

#include <QCoreApplication>
#include <QTextStream>

#include <algorithm>
#include <unistd.h>

using namespace Phone;

namespace {

const QByteArray ringinConf("sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

// User plus system CPU seconds the process has used.
double cpuSeconds(qint64 pid)
{
    const QList<QByteArray> fields = readFile(QStringLiteral("/proc/%1/stat").arg(pid)).split(' ');
    return (fields.value(13).toDouble() + fields.value(14).toDouble()) / sysconf(_SC_CLK_TCK);
}

QString statusField(qint64 pid, const char *name)
{
    for (const QByteArray &line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith(name))
            return QString::fromLatin1(line.mid(qstrlen(name))).simplified();
    return QString();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 5;

    QVector<double> startup;
    for (int i = 0; i < runs; ++i) {
        Program program(ringinConf);
        if (!program.start())
            return 1;
        startup.append(program.shownAfterMs);
    }
    out << "start to window shown: median " << median(startup) << " ms over " << runs << " runs\n";
    out.flush();

    {
        Program program(ringinConf, "@2026-12-07 07:00:00");
        program.start();
        program.clickButton();
        const qint64 pid = program.process.processId();
        const double before = cpuSeconds(pid);
        QTest::qWait(60000);
        const double used = cpuSeconds(pid) - before;
        out << "CPU while armed, microphone running, 60 s: " << used << " s (" << used / 60 * 100
            << " % of one core)\n";
        out << "peak resident memory: " << statusField(pid, "VmHWM:") << "\n";
        out.flush();
    }

    makeTone(QDir::temp().filePath(QStringLiteral("alarmclock-hum.wav")), QStringLiteral("600"),
        QStringLiteral("120"), QStringLiteral("0.02"));
    QProcess hum;
    hum.start(QStringLiteral("paplay"),
        { QStringLiteral("--device=room"),
            QDir::temp().filePath(QStringLiteral("alarmclock-hum.wav")) });
    QVector<double> delays;
    for (int i = 0; i < runs; ++i) {
        Program program(ringinConf);
        makeTone(program.file(QStringLiteral("loud.wav")), QStringLiteral("4"),
            QStringLiteral("880"), QStringLiteral("0.8"));
        program.start();
        program.clickButton();
        Speaker speaker;
        speaker.start();
        // Wait for the first play to end: sound, then 300 ms of silence.
        QElapsedTimer waited;
        waited.start();
        bool inPause = false;
        while (!inPause && waited.elapsed() < 20000) {
            QTest::qWait(20);
            const QVector<double> peaks = speaker.peaks();
            const auto heard
                = std::find_if(peaks.begin(), peaks.end(), [](double p) { return p > 0.3; });
            inPause = heard != peaks.end() && peaks.size() - (heard - peaks.begin()) > 3
                && loudest(peaks, peaks.size() - 3) < 0.01;
        }
        QElapsedTimer delay;
        delay.start();
        QProcess loud;
        loud.start(QStringLiteral("paplay"),
            { QStringLiteral("--device=room"), program.file(QStringLiteral("loud.wav")) });
        if (inPause && program.waitForLog(QStringLiteral("alarm stopped by sound"), 5000))
            delays.append(delay.elapsed());
        loud.kill();
        loud.waitForFinished();
    }
    hum.kill();
    hum.waitForFinished();
    out << "loud sound in the room to \"alarm stopped by sound\": median " << median(delays)
        << " ms over " << delays.size() << " of " << runs << " runs\n";
    return delays.size() == runs ? 0 : 1;
}
