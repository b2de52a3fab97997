// The installed alarm clock as a new user meets it: what an installation
// holds, and the desktop entry's command started from / with a fresh home
// on the virtual phone. It checks a staged installation of this build, or
// the one under ALARMCLOCK_INSTALLED_PREFIX (scripts/package-test.sh sets
// /usr inside a fresh Debian root where the package was installed).

#include "phone.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Phone;
using namespace TestSupport;

namespace {

const QString appId = QStringLiteral(ALARMCLOCK_APP_ID);

// The output of a command and whether it exited with 0.
QPair<QString, bool> check(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    const bool ran = p.waitForFinished(60000);
    return { QString::fromUtf8(p.readAll()).trimmed(),
        ran && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 };
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

private:
    QTemporaryDir staging;
    QString prefix;

    QString installed(const QString &path) const { return prefix + QLatin1Char('/') + path; }

    // The installed launcher beside a program that only notes how it was
    // started, so that what the launcher does can be looked at.
    QString stageLauncher(const QTemporaryDir &root)
    {
        const QString bin = root.filePath(QStringLiteral("bin"));
        QDir().mkpath(bin);
        QDir().mkpath(root.filePath(QStringLiteral("share/alarmclock/sounds")));
        QDir().mkpath(root.filePath(QStringLiteral("old/share/alarmclock/sounds")));
        QDir().mkpath(root.filePath(QStringLiteral("mine")));
        QFile::copy(installed(QStringLiteral("bin/alarmclock-launcher")),
            bin + QStringLiteral("/alarmclock-launcher"));
        writeFile(bin + QStringLiteral("/alarmclock"),
            "#!/bin/sh\necho \"$@\" > \"$XDG_DATA_HOME/../started\"\n");
        QFile(bin + QStringLiteral("/alarmclock"))
            .setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        return bin;
    }

    int runLauncher(const QTemporaryDir &root, const QStringList &arguments,
        const QProcessEnvironment &extra = QProcessEnvironment())
    {
        QProcess launcher;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(extra);
        env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
        launcher.setProcessEnvironment(env);
        launcher.start(root.filePath(QStringLiteral("bin/alarmclock-launcher")), arguments);
        launcher.waitForFinished();
        return launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1;
    }
    QString desktopEntry() const
    {
        return installed(
            QStringLiteral("share/applications/") + appId + QStringLiteral(".desktop"));
    }
    // A key of the desktop entry, read as the shells read it.
    QString entryValue(const char *key) const
    {
        const QByteArray start = QByteArray(key) + '=';
        for (const QByteArray &line : readFile(desktopEntry()).split('\n'))
            if (line.startsWith(start))
                return QString::fromUtf8(line.mid(start.size()));
        return QString();
    }

private slots:
    void initTestCase()
    {
        prefix = qEnvironmentVariable("ALARMCLOCK_INSTALLED_PREFIX");
        if (prefix.isEmpty()) {
            prefix = staging.path();
            const auto install = check(QStringLiteral("cmake"),
                { "--install", QStringLiteral(ALARMCLOCK_BUILD_DIR), "--prefix", prefix });
            QVERIFY2(install.second, qPrintable(install.first));
        }
    }

    void installationHoldsEverything()
    {
        const QStringList files = { "bin/alarmclock", "bin/alarmclock-launcher",
            "share/alarmclock/sounds/ringin.wav", "share/alarmclock/sounds/warning.wav",
            "share/icons/hicolor/scalable/apps/" + appId + ".svg",
            "share/metainfo/" + appId + ".metainfo.xml", "share/man/man1/alarmclock.1.gz",
            "share/man/man1/alarmclock-launcher.1.gz", "share/doc/alarmclock/copyright",
            "share/doc/alarmclock/changelog.Debian.gz", "lib/systemd/user/alarmclock.service",
            "share/dbus-1/services/" + appId + ".service" };
        for (const QString &file : files)
            QVERIFY2(QFileInfo(installed(file)).isFile(), qPrintable(file));
        QVERIFY(QFileInfo(installed(QStringLiteral("bin/alarmclock-launcher"))).isExecutable());
        const QString helper = installed(QStringLiteral("libexec/alarmclock/alarmclock-wake"));
        QVERIFY(QFileInfo(helper).isExecutable());
        // The package lets the helper, and only it, wake the phone; an
        // account that is neither at the phone nor in the group gets a
        // timer that cannot wake it.
        if (prefix == QLatin1String("/usr")) {
            QCOMPARE(check(QStringLiteral("stat"), { "-c", "%a %U %G", helper }).first,
                QStringLiteral("755 root root"));
            QVERIFY(check(QStringLiteral("getent"), { "group", "alarmclock-wake" }).second);
            const auto stranger = check(QStringLiteral("setpriv"),
                { "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c",
                    "exec \"$0\" </dev/null", helper });
            QVERIFY2(stranger.second
                    && stranger.first.startsWith(QLatin1String("nowake this user has no active")),
                qPrintable(stranger.first));
            QCOMPARE(check(QStringLiteral("getcap"), { helper }).first,
                helper + QStringLiteral(" cap_wake_alarm=ep"));
            QCOMPARE(
                check(QStringLiteral("getcap"), { installed("bin/alarmclock") }).first, QString());
        }

        // The validator warns with exit status 0, so any output is a failure.
        REQUIRE_PREREQUISITE(
            !QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty(),
            "desktop-file-validate (package desktop-file-utils)");
        QCOMPARE(check(QStringLiteral("desktop-file-validate"), { desktopEntry() }),
            qMakePair(QString(), true));
        QCOMPARE(entryValue("X-Purism-FormFactor"), QStringLiteral("Workstation;Mobile;"));
        QCOMPARE(entryValue("Categories"), QStringLiteral("Utility;Clock;"));
        QCOMPARE(entryValue("DBusActivatable"), QStringLiteral("true"));

        const auto metainfo = check(QStringLiteral("appstreamcli"),
            { "validate", "--no-net", installed("share/metainfo/" + appId + ".metainfo.xml") });
        QVERIFY2(metainfo.second, qPrintable(metainfo.first));
        const auto tree
            = check(QStringLiteral("appstreamcli"), { "validate-tree", "--no-net", prefix });
        QVERIFY2(tree.second, qPrintable(tree.first));
    }

    // The app grid activates the program through D-Bus, and so through the
    // session's service manager, which starts it again after a crash: the
    // unit is sound as systemd reads it, and the bus's service file names
    // it and the launcher.
    void serviceManagerRunsTheProgram()
    {
        const QString bin = prefix == QLatin1String("/usr") ? QStringLiteral("/usr/bin")
                                                            : QStringLiteral(ALARMCLOCK_BINDIR);
        const QString launcher = bin + QStringLiteral("/alarmclock-launcher");
        const QByteArray busService
            = readFile(installed("share/dbus-1/services/" + appId + ".service"));
        QCOMPARE(busService,
            "[D-BUS Service]\nName=" + appId.toLatin1() + "\nExec=" + launcher.toLatin1()
                + " --service\nSystemdService=alarmclock.service\n");
        REQUIRE_PREREQUISITE(
            !QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty(),
            "systemd-analyze (package systemd)");
        // Staged, the unit's command is checked where it was staged.
        QTemporaryDir runtime;
        const QString unit = runtime.filePath(QStringLiteral("alarmclock.service"));
        writeFile(unit,
            readFile(installed(QStringLiteral("lib/systemd/user/alarmclock.service")))
                .replace(launcher.toLatin1(),
                    installed(QStringLiteral("bin/alarmclock-launcher")).toLatin1()));
        QVERIFY(readFile(unit).contains("\nType=dbus\nBusName=" + appId.toLatin1() + "\n"));
        QVERIFY(readFile(unit).contains("\nRestart=on-failure\n"));
        QProcess verify;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        verify.setProcessEnvironment(env);
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(QStringLiteral("systemd-analyze"), { "--user", "verify", "--man=no", unit });
        QVERIFY(verify.waitForFinished(60000));
        const QString said = QString::fromUtf8(verify.readAll()).trimmed();
        QVERIFY2(verify.exitCode() == 0 && said.isEmpty(), qPrintable(said));
    }

    void launcherRestartsACrash_data()
    {
        QTest::addColumn<bool>("armed");
        QTest::addColumn<int>("crashes");
        QTest::addColumn<bool>("underServiceManager");
        QTest::addColumn<QByteArray>("starts");
        QTest::newRow("two crashes while armed")
            << true << 2 << false << QByteArray("\n--hidden\n--hidden\n");
        QTest::newRow("crashing on and on while armed")
            << true << 9 << false
            << QByteArray("\n--hidden\n--hidden\n--hidden\n--hidden\n--hidden\n");
        QTest::newRow("a crash with no alarm set") << false << 1 << false << QByteArray("\n");
        QTest::newRow("under the service manager") << true << 1 << true << QByteArray("\n");
    }

    // Where no service manager looks after it, the launcher starts again a
    // program that died by a signal while an alarm was set, without its
    // window, at most five times an hour.
    void launcherRestartsACrash()
    {
        QFETCH(bool, armed);
        QFETCH(int, crashes);
        QFETCH(bool, underServiceManager);
        QFETCH(QByteArray, starts);
        QTemporaryDir root;
        const QString bin = stageLauncher(root);
        writeFile(bin + QStringLiteral("/alarmclock"),
            "#!/bin/sh\necho \"$@\" >> \"$XDG_DATA_HOME/../started\"\n"
            "[ $(wc -l < \"$XDG_DATA_HOME/../started\") -gt "
                + QByteArray::number(crashes) + " ] || kill -SEGV $$\n");
        const QString data = root.filePath(QStringLiteral("data/alarmclock"));
        QVERIFY(QDir().mkpath(data));
        if (armed)
            writeFile(data + QStringLiteral("/alarm.armed"), "1796621400 07:30:00\n");
        QProcessEnvironment extra;
        if (underServiceManager)
            extra.insert(QStringLiteral("INVOCATION_ID"), QStringLiteral("0123456789abcdef"));
        const int status = runLauncher(root, {}, extra);
        QCOMPARE(readFile(root.filePath(QStringLiteral("started"))), starts);
        // Under the service manager the launcher is the program itself.
        const int crashed = underServiceManager ? -1 : 128 + SIGSEGV;
        QCOMPARE(status, starts.count('\n') > crashes ? 0 : crashed);
    }

    void launcherKeepsTheUsersSounds_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("renewed");
        QTest::newRow("nothing") << "" << true;
        QTest::newRow("link to nothing") << "link:gone" << true;
        QTest::newRow("link to an older installation")
            << "link:old/share/alarmclock/sounds" << true;
        QTest::newRow("the user's own link") << "link:mine" << false;
        QTest::newRow("the user's own directory") << "directory" << false;
    }

    // The launcher links the installed sounds into the user's data directory,
    // and never replaces what the user put there.
    void launcherKeepsTheUsersSounds()
    {
        QFETCH(QString, before);
        QFETCH(bool, renewed);
        QTemporaryDir root;
        stageLauncher(root);
        const QString data = root.filePath(QStringLiteral("data/alarmclock"));
        const QString sounds = data + QStringLiteral("/sounds");
        QVERIFY(QDir().mkpath(data));
        if (before.startsWith(QLatin1String("link:")))
            QVERIFY(QFile::link(root.filePath(before.mid(5)), sounds));
        else if (before == QLatin1String("directory"))
            QVERIFY(QDir().mkdir(sounds));
        const QString was = QFileInfo(sounds).symLinkTarget();

        QCOMPARE(runLauncher(root, QStringList()), 0);
        if (renewed) {
            QCOMPARE(QFileInfo(sounds).canonicalFilePath(),
                QFileInfo(root.filePath(QStringLiteral("share/alarmclock/sounds")))
                    .canonicalFilePath());
        } else {
            QCOMPARE(QFileInfo(sounds).symLinkTarget(), was);
            QVERIFY(QFileInfo(sounds).isDir());
        }
    }

    void autostartStartsOnlyARememberedAlarm_data()
    {
        QTest::addColumn<bool>("remembered");
        QTest::newRow("no alarm set") << false;
        QTest::newRow("an alarm set when the session ended") << true;
    }

    // At login the autostart entry starts the program, without its window,
    // only where an alarm was set; otherwise nothing starts, and nothing is
    // made.
    void autostartStartsOnlyARememberedAlarm()
    {
        QFETCH(bool, remembered);
        const QString entry
            = installed(QStringLiteral("etc/xdg/autostart/") + appId + QStringLiteral(".desktop"));
        const QString autostart = prefix == QLatin1String("/usr")
            ? QStringLiteral("/etc/xdg/autostart/") + appId + QStringLiteral(".desktop")
            : entry;
        QVERIFY(QFile::exists(autostart));
        QVERIFY(readFile(autostart).contains("\nExec=alarmclock-launcher --autostart\n"));
        if (!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty())
            QCOMPARE(check(QStringLiteral("desktop-file-validate"), { autostart }),
                qMakePair(QString(), true));

        QTemporaryDir root;
        stageLauncher(root);
        const QString data = root.filePath(QStringLiteral("data/alarmclock"));
        if (remembered) {
            QVERIFY(QDir().mkpath(data));
            writeFile(data + QStringLiteral("/alarm.armed"), "1796621400 07:30:00\n");
        }
        QCOMPARE(runLauncher(root, { QStringLiteral("--autostart") }), 0);
        const QByteArray started = readFile(root.filePath(QStringLiteral("started")));
        if (remembered) {
            QCOMPARE(started, QByteArray("--hidden\n"));
        } else {
            QVERIFY(started.isEmpty());
            QVERIFY(!QFile::exists(data));
        }
    }

    // What the app grid does: the entry's command, from /, for a user who
    // never ran the program. The settings land in the user's data directory,
    // and the first alarm, with untouched settings, is heard.
    void desktopEntryStartsInDataDirectory()
    {
        REQUIRE_VIRTUAL_PHONE();
        const QString exec = entryValue("Exec");
        QVERIFY(!exec.isEmpty());
        QVERIFY(!QFile::exists(QStringLiteral("/alarm.conf")));

        QTemporaryDir home;
        Program program(QByteArray {}, "@2026-12-07 11:59:50", false);
        program.command = QStringLiteral("sh");
        program.arguments = QStringList { "-c", "exec " + exec };
        program.workingDirectory = QStringLiteral("/");
        program.env.insert(QStringLiteral("HOME"), home.path());
        program.env.remove(QStringLiteral("XDG_DATA_HOME"));
        program.env.insert(QStringLiteral("PATH"),
            installed(QStringLiteral("bin")) + QLatin1Char(':') + program.env.value("PATH"));
        QVERIFY(program.start());

        const QString data = home.path() + QStringLiteral("/.local/share/alarmclock");
        QCOMPARE(readFile(data + QStringLiteral("/alarm.conf")),
            QByteArray("warning.wav\n12:00\n1\n1\n8\n1\n"));
        QVERIFY(!QFile::exists(QStringLiteral("/alarm.conf")));
        QVERIFY(!QFile::exists(home.path() + QStringLiteral("/alarm.conf")));
        QVERIFY(QFileInfo(data + QStringLiteral("/sounds/ringin.wav")).isFile());

        hearFirstAlarm(program, QStringLiteral("installed-ringing"));
    }
};

ALARM_TEST_MAIN(TestInstall)
#include "tst_install.moc"
