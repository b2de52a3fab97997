#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Helpers shared by the tests: a fresh working directory per test, the
// program's warning log, and the wall clock when the test runs under
// libfaketime with a timestamp file.

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QSaveFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtGlobal>

namespace TestSupport {

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

// Whether the log holds these lines in this order, whatever the toolkit
// logged between them.
inline bool logHasInOrder(const QStringList &lines)
{
    int from = 0;
    for (const QString &line : lines) {
        from = log().indexOf(line, from);
        if (from < 0)
            return false;
        ++from;
    }
    return true;
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

// Whether a sound server runs for the test, as the test command provides.
inline bool hasSoundServer()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), { QStringLiteral("info") });
    return pactl.waitForFinished() && pactl.exitCode() == 0;
}

} // namespace TestSupport

#endif // TESTSUPPORT_H
