// The floor for what the alarm clock costs while it waits: a bare Qt
// program that captures the default microphone in the same format, pushed
// into a device that drops the bytes, and does nothing else. With
// --chunks it prints how many chunks a second arrive and their sizes. With
// --iio DEVICE it also reads that IIO device's three raw axes twenty times
// a second on its main thread, as plainly as a Qt program can: the floor
// for what an accelerometer read at that rate costs.

#include "pcmformat.h"

#include <QAudioInput>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QIODevice>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

class Sink : public QIODevice {
public:
    qint64 chunks = 0;
    qint64 bytes = 0;
    qint64 smallest = -1;

protected:
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *, qint64 len) override
    {
        ++chunks;
        bytes += len;
        smallest = smallest < 0 ? len : qMin(smallest, len);
        return len;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Sink sink;
    sink.open(QIODevice::WriteOnly);
    QAudioInput input(pcmFormat(16, QAudioFormat::SignedInt));
    input.start(&sink);
    const int iio = app.arguments().indexOf(QStringLiteral("--iio"));
    int axes[3] = { -1, -1, -1 };
    long values[3] = { 0, 0, 0 };
    QTimer looks;
    if (iio > 0) {
        const QString device = app.arguments().value(iio + 1);
        for (int axis = 0; axis < 3; ++axis) {
            const QByteArray path = QFile::encodeName(
                device + QStringLiteral("/in_accel_%1_raw").arg(QChar(u'x' + axis)));
            axes[axis] = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            // A floor that reads nothing would be no floor.
            if (axes[axis] < 0) {
                perror(path.constData());
                return 1;
            }
        }
        looks.setTimerType(Qt::PreciseTimer);
        QObject::connect(&looks, &QTimer::timeout, [&axes, &values] {
            char text[64];
            for (int axis = 0; axis < 3; ++axis) {
                const ssize_t got = ::pread(axes[axis], text, sizeof text - 1, 0);
                if (got < 0) {
                    perror("pread");
                    continue;
                }
                text[got] = '\0';
                values[axis] = std::strtol(text, nullptr, 10);
            }
        });
        looks.start(50);
    }
    if (app.arguments().contains(QStringLiteral("--chunks"))) {
        QTimer::singleShot(5000, &app, [&] {
            printf("%.1f chunks a second, %.0f bytes on average, smallest %lld\n",
                sink.chunks / 5.0, sink.chunks ? double(sink.bytes) / sink.chunks : 0.0,
                sink.smallest);
            app.quit();
        });
    }
    return app.exec();
}
