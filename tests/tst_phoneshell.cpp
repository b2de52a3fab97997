// The alarm clock under a real phone shell: Phosh on its compositor phoc,
// run headless with a phone's screen (720×1440 at scale 2), the program a
// native Wayland client, installed as the package installs it (desktop
// entry, icon, launcher) under a private prefix. The alarm is set by a tap,
// the screen is locked, and the ringing alarm is stopped by a tap on the
// lock screen's Stop Alarm, without unlocking.

#include "standins.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

namespace {

// The screen in logical pixels, and where the program's button and the
// lock screen's Stop Alarm lie on it, as Phosh 0.24 lays them out.
const int screenWidth = 360;
const int screenHeight = 720;
const QPoint setAlarm(180, 644);
const QPoint lockScreenStop(180, 470);

QString run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    p.waitForFinished(20000);
    return QString::fromUtf8(p.readAll()).trimmed();
}

bool present(const QString &path)
{
    return QFileInfo(path).isExecutable();
}

} // namespace

class TestPhoneShell : public QObject {
    Q_OBJECT

private:
    PrivateBus bus;
    QTemporaryDir work;
    QString prefix;
    QProcess phoc;
    QProcessEnvironment shell;
    QString screenshots = QStringLiteral(ALARMCLOCK_SCREENSHOTS);

    QString file(const QString &name) const { return work.filePath(name); }

    void screenshot(const QString &name)
    {
        QDir().mkpath(screenshots);
        run(QStringLiteral("grim"),
            { screenshots + QLatin1Char('/') + name + QStringLiteral(".png") }, shell);
    }

    void tap(const QPoint &at)
    {
        run(QStringLiteral(ALARMCLOCK_TAP),
            { QString::number(at.x()), QString::number(at.y()), QString::number(screenWidth),
                QString::number(screenHeight) },
            shell);
    }

    // The darkest pixel of a region of the screen, in logical pixels: 0 is
    // black, 1 white.
    double darkest(const QString &shot, const QRect &region)
    {
        const QString crop = QStringLiteral("%1x%2+%3+%4")
                                 .arg(region.width() * 2)
                                 .arg(region.height() * 2)
                                 .arg(region.x() * 2)
                                 .arg(region.y() * 2);
        return run(QStringLiteral("convert"),
            { screenshots + QLatin1Char('/') + shot + QStringLiteral(".png"), "-crop", crop,
                "-colorspace", "Gray", "-format", "%[fx:minima]", "info:" },
            shell)
            .toDouble();
    }

private slots:
    void initTestCase()
    {
        REQUIRE_PREREQUISITE(present(QStringLiteral("/usr/bin/phoc"))
                && present(QStringLiteral("/usr/libexec/phosh"))
                && present(QStringLiteral("/usr/bin/Xwayland")),
            "the phone shell (packages phoc, phosh, xwayland, gnome-settings-daemon-common)");
        REQUIRE_PREREQUISITE(present(QStringLiteral("/usr/bin/grim")), "grim (package grim)");
        REQUIRE_PREREQUISITE(present(QStringLiteral(ALARMCLOCK_TAP)),
            "the tap tool, built with wayland-scanner (packages libwayland-bin, libwayland-dev)");
        REQUIRE_SOUND_SERVER();
        REQUIRE_PREREQUISITE(QFile::exists(QStringLiteral(FAKETIME_LIBRARY)),
            "libfaketime (package faketime), found when the build was configured");
        REQUIRE_PREREQUISITE(bus.start(), "dbus-daemon (package dbus)");

        // Installed as the package installs it, under a prefix of its own.
        prefix = file(QStringLiteral("prefix"));
        QCOMPARE(run(QStringLiteral("cmake"),
                     { "--install", QStringLiteral(ALARMCLOCK_BUILD_DIR), "--prefix", prefix },
                     QProcessEnvironment::systemEnvironment())
                     .contains(QLatin1String("alarmclock-launcher")),
            true);

        shell = QProcessEnvironment::systemEnvironment();
        shell.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address);
        shell.insert(QStringLiteral("XDG_DATA_DIRS"),
            prefix + QStringLiteral("/share:/usr/local/share:/usr/share"));
        shell.insert(
            QStringLiteral("PATH"), prefix + QStringLiteral("/bin:") + shell.value("PATH"));
        shell.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
        shell.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
        shell.remove(QStringLiteral("DISPLAY"));
        shell.remove(QStringLiteral("WAYLAND_DISPLAY"));
        writeFile(file(QStringLiteral("phoc.ini")),
            "[core]\nxwayland=true\n\n[output:HEADLESS-1]\nmode = 720x1440\nscale = 2\n");
        // Headless with the pixman renderer, phoc's output buffers keep only
        // what was damaged last, and a screenshot shows the rest black:
        // repainting the whole output each frame gives screenshots of what a
        // screen would show.
        QProcessEnvironment compositor = shell;
        compositor.insert(QStringLiteral("PHOC_DEBUG"), QStringLiteral("damage-tracking"));
        phoc.setProcessEnvironment(compositor);
        phoc.setProcessChannelMode(QProcess::MergedChannels);
        phoc.start(QStringLiteral("phoc"),
            { "-S", "-C", file(QStringLiteral("phoc.ini")), "-E",
                "/usr/libexec/phosh --unlocked" });
        QVERIFY(phoc.waitForStarted());
        QString display;
        QElapsedTimer waited;
        waited.start();
        QByteArray said;
        while (display.isEmpty() && waited.elapsed() < 20000) {
            phoc.waitForReadyRead(200);
            said += phoc.readAll();
            const int at = said.indexOf("wayland display '");
            if (at >= 0 && said.indexOf('\'', at + 17) > 0)
                display
                    = QString::fromLatin1(said.mid(at + 17, said.indexOf('\'', at + 17) - at - 17));
        }
        QVERIFY2(!display.isEmpty(), said.constData());
        shell.insert(QStringLiteral("WAYLAND_DISPLAY"), display);
        // The shell is up once it answers for the screen saver.
        QDBusConnection session
            = QDBusConnection::connectToBus(bus.address, QStringLiteral("shell"));
        QTRY_VERIFY_WITH_TIMEOUT(
            session.interface()->isServiceRegistered(QStringLiteral("org.gnome.ScreenSaver")),
            20000);
    }

    void cleanupTestCase()
    {
        phoc.terminate();
        if (!phoc.waitForFinished(5000))
            phoc.kill();
        bus.stop();
    }

    // As a person meets it: started from its desktop entry's launcher, set
    // by a tap, then the screen locked; the ringing alarm shows on the lock
    // screen with the time and Stop Alarm, and a tap there silences it.
    void stopFromTheLockScreen()
    {
        const QString data = file(QStringLiteral("home/.local/share/alarmclock"));
        QVERIFY(QDir().mkpath(data));
        writeFile(
            data + QStringLiteral("/alarm.conf"), "sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");
        writeFile(file(QStringLiteral("clock")), "@2026-12-07 07:29:44\n");
        QProcessEnvironment env = shell;
        env.insert(QStringLiteral("HOME"), file(QStringLiteral("home")));
        env.remove(QStringLiteral("XDG_DATA_HOME"));
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("Phosh:GNOME"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAKETIME_LIBRARY));
        env.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), file(QStringLiteral("clock")));
        env.insert(QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1"));
        env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
        QProcess program;
        program.setProcessEnvironment(env);
        program.setStandardErrorFile(file(QStringLiteral("log")));
        program.start(prefix + QStringLiteral("/bin/alarmclock-launcher"), QStringList());
        QVERIFY(program.waitForStarted());
        auto log = [this] { return QString::fromUtf8(readFile(file(QStringLiteral("log")))); };
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(QLatin1String("\ninput\n")), 15000);
        // The window is up once the shell has maximized it (its background
        // reaches the screen's left edge) and its button is drawn.
        QTRY_VERIFY_WITH_TIMEOUT(
            (screenshot(QStringLiteral("phosh-window")),
                darkest(QStringLiteral("phosh-window"), QRect(0, 400, 4, 20)) > 0.5
                    && darkest(QStringLiteral("phosh-window"), QRect(40, 640, 60, 8)) > 0.5),
            30000);
        // The shell manages the window: no title bar of the toolkit's own,
        // whose close button would lie at the top right.
        QVERIFY2(darkest(QStringLiteral("phosh-window"), QRect(320, 40, 24, 12)) > 0.5,
            "a title bar is drawn");

        tap(setAlarm);
        QTRY_VERIFY(QFile::exists(data + QStringLiteral("/alarm.armed")));
        QVERIFY(run(QStringLiteral("gdbus"),
            { "call", "--session", "--dest", "org.gnome.ScreenSaver", "--object-path",
                "/org/gnome/ScreenSaver", "--method", "org.gnome.ScreenSaver.Lock" },
            shell)
                    .startsWith(QLatin1String("()")));
        QTRY_VERIFY_WITH_TIMEOUT(speakerPeak(300) > 0.3, 25000);
        QTest::qWait(1500);
        screenshot(QStringLiteral("phosh-lock-screen-ringing"));

        tap(lockScreenStop);
        QTest::qWait(500);
        QVERIFY(speakerPeak(3000) < 0.01);
        QTRY_VERIFY(!QFile::exists(data + QStringLiteral("/alarm.armed")));
        screenshot(QStringLiteral("phosh-lock-screen-stopped"));

        // Nothing but what this machine lacks (a hardware clock that wakes,
        // a session manager) was said.
        const QStringList expected = { "\"current combobox item: sounds/ringin.wav\"", "INFO",
            "input", "\"Initial Orientation: 0\"", "\"Initial Orientation: 5\"" };
        for (const QString &line : log().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const bool lacking = line.startsWith(QLatin1String("The phone will not be woken"))
                || line.startsWith(QLatin1String("Cannot keep the session"))
                || line.startsWith(QLatin1String("Cannot keep the phone from sleeping"))
                || line.startsWith(QLatin1String("Stop by shaking and by turning over are "
                                                 "unavailable"));
            QVERIFY2(expected.contains(line) || lacking, qPrintable(line));
        }
        program.terminate();
        program.waitForFinished(5000);
    }
};

ALARM_TEST_MAIN(TestPhoneShell)
#include "tst_phoneshell.moc"
