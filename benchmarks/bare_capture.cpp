// The floor for what the alarm clock costs while it waits: a bare Qt
// program that captures the default microphone in the same format, pushed
// into a device that drops the bytes, and does nothing else. With
// --chunks it prints how many chunks a second arrive and their sizes.

#include "pcmformat.h"

#include <QAudioInput>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QTimer>

#include <cstdio>

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
