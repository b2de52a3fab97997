// Waking the phone for the alarm and keeping it awake while it rings: the
// kernel's wake-up timer held by the helper, for real and with the real
// clock, and the desktop services (logind, the session manager, the
// notification server) as stand-ins on a private bus.

#include "mainwindow.h"
#include "ringingguard.h"
#include "standins.h"
#include "testsupport.h"
#include "waketimer.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimeEdit>
#include <QtTest>

#include <csignal>
#include <ctime>
#include <unistd.h>

using namespace TestSupport;

namespace {

// The kernel's view of a helper's timer: its clock (8 is
// CLOCK_REALTIME_ALARM) and the seconds left.
struct KernelTimer {
    int clock = -1;
    qint64 secondsLeft = -1;
};

KernelTimer kernelTimer(qint64 pid)
{
    const QDir fdinfo(QStringLiteral("/proc/%1/fdinfo").arg(pid));
    for (const QString &fd : fdinfo.entryList(QDir::Files)) {
        KernelTimer timer;
        for (const QByteArray &line : readFile(fdinfo.filePath(fd)).split('\n')) {
            if (line.startsWith("clockid:"))
                timer.clock = line.mid(8).trimmed().toInt();
            else if (line.startsWith("it_value:"))
                timer.secondsLeft
                    = line.mid(line.indexOf('(') + 1).split(',').value(0).toLongLong();
        }
        if (timer.clock >= 0)
            return timer;
    }
    return KernelTimer();
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

void writeConf()
{
    writeFile(QStringLiteral("alarm.conf"), "sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");
}

} // namespace

class TestWake : public QObject {
    Q_OBJECT

private:
    PrivateBus bus;
    QTemporaryDir sensorDir;

    QPushButton *button(MainWindow &w)
    {
        return w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
    }

    // Arms `w` with the real clock, for an alarm some minutes ahead.
    void arm(MainWindow &w, int minutes = 10)
    {
        w.findChild<QTimeEdit *>()->setTime(QTime::currentTime().addSecs(60 * minutes));
        button(w)->click();
        QCOMPARE(w.alarm_state, 1);
    }

private slots:
    void initTestCase()
    {
        // One private bus stands for both the system and the session bus;
        // the program connects to it when it first needs it.
        REQUIRE_PREREQUISITE(bus.start(), "dbus-daemon (package dbus)");
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toLatin1());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.toLatin1());
        // Qt's file-driven accelerometer, for stopping by motion.
        writeFile(sensorDir.filePath(QStringLiteral("accelerometer")), "0,0,-9.8\n");
        qputenv("QT_ACCEL_FILEPATH", QFile::encodeName(sensorDir.filePath("accelerometer")));
        qputenv("QT_ACCEL_DELIMITER", ",");
    }

    void cleanupTestCase() { bus.stop(); }

    void init() { captureLog(); }

    // With the real clock: the kernel timer stands at the moment while
    // armed, fires then, and is gone once disarmed.
    void timerFiresAtItsMoment()
    {
        REQUIRE_PREREQUISITE(geteuid() == 0, "root, for the wake helper's CAP_WAKE_ALARM");
        WakeTimer timer;
        QSignalSpy fired(&timer, &WakeTimer::fired);
        const qint64 moment = now() + 3;
        timer.arm(moment);
        QTRY_VERIFY(kernelTimer(timer.helperProcessId()).secondsLeft > 0);
        const KernelTimer kernel = kernelTimer(timer.helperProcessId());
        QCOMPARE(kernel.clock, int(CLOCK_REALTIME_ALARM));
        QVERIFY2(kernel.secondsLeft >= 1 && kernel.secondsLeft <= 3,
            qPrintable(QString::number(kernel.secondsLeft)));
        QVERIFY(fired.wait(6000));
        QVERIFY(now() >= moment);
        QCOMPARE(fired.first().first().toLongLong(), moment);

        timer.arm(now() + 600);
        const qint64 helper = timer.helperProcessId();
        QTRY_VERIFY(kernelTimer(helper).secondsLeft > 590);
        timer.disarm();
        QTRY_COMPARE(timer.helperProcessId(), qint64(0));
        // It ends once it has read the end of its input; nothing waits for it.
        QTRY_VERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(helper)));
    }

    // The window's clock tick may sleep through the moment with the phone;
    // the wake timer runs a tick at once when it fires.
    void tickRunsWhenTheTimerFires()
    {
        WorkDir dir;
        writeConf();
        MainWindow w;
        w.clockTimer->stop();
        auto *clock = w.findChild<QLabel *>(QStringLiteral("timeLabel"));
        clock->setText(QStringLiteral("asleep"));
        // 2 to 3 s ahead: the wait below ends a second or more before it.
        const qint64 moment = now() + 3;
        w.wakeTimer->arm(moment);
        QTest::qWait(1000);
        QCOMPARE(clock->text(), QStringLiteral("asleep"));
        QTRY_VERIFY_WITH_TIMEOUT(clock->text() != QLatin1String("asleep"), 5000);
        QVERIFY(now() >= moment);
        QVERIFY(w.clockTimer->isActive());
    }

    // Armed: the timer stands a little before the calibration moment; a
    // wall clock that is set makes it stand again; unset drops it.
    void armedAlarmHoldsTheTimer()
    {
        REQUIRE_PREREQUISITE(geteuid() == 0, "root, for CAP_WAKE_ALARM and CAP_SYS_TIME");
        WorkDir dir;
        writeConf();
        MainWindow w;
        arm(w);
        const QDateTime alarm = QDateTime(QDate::currentDate(), QTime::fromString(w.alarmTime));
        qint64 expected = QDateTime::currentDateTime().secsTo(alarm) - 14;
        if (expected < 0)
            expected += 24 * 3600;
        const qint64 helper = w.wakeTimer->helperProcessId();
        QTRY_VERIFY(kernelTimer(helper).secondsLeft > 0);
        QCOMPARE(kernelTimer(helper).clock, int(CLOCK_REALTIME_ALARM));
        QVERIFY2(qAbs(kernelTimer(helper).secondsLeft - expected) <= 2,
            qPrintable(QStringLiteral("%1 s left, %2 expected")
                           .arg(kernelTimer(helper).secondsLeft)
                           .arg(expected)));

        // Setting the wall clock, even to the time it shows, cancels the
        // kernel timer's moment; the program sets it again.
        QSignalSpy changed(w.wakeTimer, &WakeTimer::clockChanged);
        timespec time {};
        clock_gettime(CLOCK_REALTIME, &time);
        REQUIRE_PREREQUISITE(
            clock_settime(CLOCK_REALTIME, &time) == 0, "CAP_SYS_TIME, to set the wall clock");
        QVERIFY(changed.wait(3000));
        QTest::qWait(200);
        QVERIFY(qAbs(kernelTimer(helper).secondsLeft - expected) <= 3);
        const int fired = log().count();

        button(w)->click();
        QCOMPARE(w.alarm_state, 0);
        QTRY_COMPARE(w.wakeTimer->helperProcessId(), qint64(0));
        QTRY_VERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(helper)));
        QCOMPARE(log().count(), fired);
    }

    // A helper that dies while the alarm is armed is started again at once
    // and holds the moment again; one that dies again soon after leaves the
    // program's own timer for a while, the log says why the phone will not
    // wake, and then a new helper holds the moment.
    void killedHelperComesBack()
    {
        REQUIRE_PREREQUISITE(geteuid() == 0, "root, for the wake helper's CAP_WAKE_ALARM");
        WakeTimer timer;
        const qint64 moment = now() + 600;
        timer.arm(moment);
        const qint64 first = timer.helperProcessId();
        QTRY_VERIFY(kernelTimer(first).secondsLeft > 590);
        // It takes nothing from the program's environment.
        QCOMPARE(
            readFile(QStringLiteral("/proc/%1/environ").arg(first)), QByteArray("LC_ALL=C\0", 9));

        ::kill(pid_t(first), SIGKILL);
        QTRY_VERIFY(timer.helperProcessId() != 0 && timer.helperProcessId() != first);
        const qint64 second = timer.helperProcessId();
        QTRY_VERIFY(kernelTimer(second).secondsLeft > 590);
        QCOMPARE(timer.moment(), moment);
        QVERIFY(log().filter(QStringLiteral("killed")).isEmpty());

        ::kill(pid_t(second), SIGKILL);
        QTRY_COMPARE_WITH_TIMEOUT(timer.helperProcessId(), qint64(0), 900);
        QCOMPARE(timer.moment(), moment);
        QCOMPARE(log().filter(QStringLiteral("killed")),
            QStringList { "The phone will not be woken from suspend for this alarm: the wake "
                          "helper alarmclock-wake was killed or crashed" });
        QTRY_VERIFY(timer.helperProcessId() != 0);
        QTRY_VERIFY(kernelTimer(timer.helperProcessId()).secondsLeft > 590);
        QCOMPARE(timer.moment(), moment);
        timer.disarm();
    }

    void helperServesThePersonAtThePhone_data()
    {
        // logind's records of the user (users/UID) and of its session.
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("session");
        QTest::addColumn<bool>("inGroup");
        QTest::addColumn<bool>("served");
        QTest::addColumn<bool>("leaves");
        const QByteArray activeUser = "STATE=active\nSESSIONS=c1\nACTIVE_SESSIONS=c1\n";
        const QByteArray onSeat("ACTIVE=1\nREMOTE=0\nSEAT=seat0\n");
        QTest::newRow("active session on the seat")
            << activeUser << onSeat << false << true << false;
        QTest::newRow("remote session")
            << activeUser << QByteArray("ACTIVE=1\nREMOTE=1\nREMOTE_HOST=far\n") << false << false
            << false;
        QTest::newRow("session on the seat, another user in front")
            << QByteArray("STATE=online\nSESSIONS=c1\nACTIVE_SESSIONS=\n")
            << QByteArray("ACTIVE=0\nREMOTE=0\nSEAT=seat0\n") << false << false << false;
        QTest::newRow("member of the group, no session")
            << QByteArray() << QByteArray() << true << true << false;
        QTest::newRow("another account") << QByteArray() << QByteArray() << false << false << false;
        QTest::newRow("active session on the seat, then another user in front")
            << activeUser << onSeat << false << true << true;
    }

    // The helper wakes the phone for the person at it, whoever installed
    // the program, and for the members of its group; anyone else gets the
    // timer that cannot wake it, and so does a person who has left the seat
    // by the next moment asked for. It runs as an unprivileged account with
    // the capability, against logind's records in a mount namespace.
    void helperServesThePersonAtThePhone()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, session);
        QFETCH(bool, inGroup);
        QFETCH(bool, served);
        QFETCH(bool, leaves);
        REQUIRE_PREREQUISITE(geteuid() == 0,
            "root, to run the wake helper as another account in a mount namespace (unshare)");
        QTemporaryDir records;
        QDir(records.path()).mkpath(QStringLiteral("systemd/users"));
        QDir(records.path()).mkpath(QStringLiteral("systemd/sessions"));
        const QString users = records.filePath(QStringLiteral("systemd/users/65534"));
        const QString sessions = records.filePath(QStringLiteral("systemd/sessions/c1"));
        if (!user.isEmpty())
            writeFile(users, user);
        if (!session.isEmpty())
            writeFile(sessions, "UID=65534\nUSER=nobody\nCLASS=user\n" + session);
        writeFile(records.filePath(QStringLiteral("group")),
            "root:x:0:\nnogroup:x:65534:\nalarmclock-wake:x:4242:\n");
        const QString helper
            = QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/alarmclock-wake"))
                  .canonicalFilePath();
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        // The records are bound, not copied, so that they can change while
        // the helper runs.
        run.start(QStringLiteral("unshare"),
            { "-m", "sh", "-c",
                "set -e; mount -t tmpfs tmpfs /run; mkdir /run/systemd;"
                " mount --bind \"$1\"/systemd /run/systemd; mount --bind \"$1/group\" /etc/group;"
                " exec setpriv --reuid=65534 --regid=65534 $3 --inh-caps=+wake_alarm"
                " --ambient-caps=+wake_alarm \"$2\"",
                "sh", records.path(), helper,
                inGroup ? QStringLiteral("--groups=4242") : QStringLiteral("--clear-groups") });
        QVERIFY(run.waitForStarted());
        QStringList said;
        const auto waitForLines = [&](int count) {
            while (said.size() < count && run.waitForReadyRead(10000)) {
                while (run.canReadLine())
                    said.append(QString::fromUtf8(run.readLine()).trimmed());
            }
            return said.size() >= count;
        };
        const QString refused
            = QStringLiteral("nowake this user has no active session at the phone's seat, and "
                             "is not a member of the group alarmclock-wake");
        if (leaves) {
            // A moment long past fires at once: the helper has taken the line.
            run.write("at 1\n");
            QVERIFY(waitForLines(2));
            QCOMPARE(said.value(1), QStringLiteral("fired 1"));
            writeFile(users, "STATE=online\nSESSIONS=c1\nACTIVE_SESSIONS=\n");
            writeFile(
                sessions, "UID=65534\nUSER=nobody\nCLASS=user\nACTIVE=0\nREMOTE=0\nSEAT=seat0\n");
            run.write("at 2\n");
            QVERIFY(waitForLines(4));
            QCOMPARE(said.mid(2), QStringList({ refused, QStringLiteral("fired 2") }));
        }
        run.closeWriteChannel();
        QVERIFY(run.waitForFinished(10000));
        while (run.canReadLine())
            said.append(QString::fromUtf8(run.readLine()).trimmed());
        QCOMPARE(run.exitCode(), 0);
        // A machine without a hardware clock that can wake it says so, but
        // only once the helper made the timer that would.
        const QStringList wakes
            = { "wake", "nowake this device has no hardware clock that can wake it" };
        if (served)
            QVERIFY2(wakes.contains(said.value(0)), qPrintable(said.join('|')));
        else
            QCOMPARE(said, QStringList(refused));
    }

    // Where the phone will not wake for the alarm, the window says so under
    // the alarm time, and so does the notification of the set alarm.
    void personIsToldThePhoneWillNotWake()
    {
        REQUIRE_PREREQUISITE(geteuid() == 0, "root, for the wake helper's CAP_WAKE_ALARM");
        StandIns services(bus.address, QStringLiteral("notifications"));
        QVERIFY(services.ready());
        WorkDir dir;
        writeConf();
        MainWindow w;
        w.show();
        arm(w);
        // A helper that keeps dying is started again only a minute later:
        // until then the program's own timer stands in.
        w.wakeTimer->restartDelayMs = WakeTimer::longestRestartDelayMs;
        const qint64 helper = w.wakeTimer->helperProcessId();
        QTRY_VERIFY(kernelTimer(helper).secondsLeft > 0);
        ::kill(pid_t(helper), SIGKILL);
        QTRY_COMPARE(w.wakeTimer->helperProcessId(), qint64(0));
        const QString note = QStringLiteral("The phone will not wake from sleep for this alarm");
        auto *label = w.findChild<QLabel *>(QStringLiteral("wakeLabel"));
        QTRY_VERIFY(label->isVisible());
        QCOMPARE(label->text(), note);

        w.close();
        QVERIFY(services.waitFor([&](const QJsonObject &r) {
            const QVariantList args = r.value("args").toVariant().toList();
            return args.value(3).toString() == QLatin1String("Alarm set for ") + w.alarmTime.left(5)
                && args.value(4).toString() == note;
        }));
        w.show();
        button(w)->click();
        QCOMPARE(w.alarm_state, 0);
        QVERIFY(!label->isVisible());
    }

    void everyStopReleasesEverything_data()
    {
        QTest::addColumn<QString>("means");
        for (const char *means : { "button", "notification", "sound", "shake", "flip" })
            QTest::newRow(means) << means;
    }

    // Ringing: logind's sleep lock, the session's inhibitor and a critical
    // notification with "Stop Alarm"; all of it let go by each way the
    // alarm can stop, the notification's action among them.
    void everyStopReleasesEverything()
    {
        QFETCH(QString, means);
        StandIns services(bus.address, QStringLiteral("logind,sessionmanager,notifications"));
        QVERIFY(services.ready());
        WorkDir dir;
        writeConf();
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(w.sensorOri.reading() && w.sensorOri.reading()->orientation() == 5);
        arm(w);
        w.readInitialOri();
        w.playAlarm();
        QCOMPARE(w.alarm_state, 3);

        QVERIFY(services.called(QStringLiteral("org.freedesktop.login1.Manager.Inhibit")));
        QCOMPARE(services.call("org.freedesktop.login1.Manager.Inhibit").value("args").toVariant(),
            QVariant(
                QVariantList { "sleep:idle", ALARMCLOCK_APP_ID, "An alarm is ringing", "block" }));
        QVERIFY(services.called(QStringLiteral("org.gnome.SessionManager.Inhibit")));
        const QVariantList session
            = services.call("org.gnome.SessionManager.Inhibit").value("args").toVariant().toList();
        QCOMPARE(session.value(0).toString(), QStringLiteral(ALARMCLOCK_APP_ID));
        QCOMPARE(session.value(3).toInt(), 4 | 8);
        QVERIFY(services.called(QStringLiteral("org.freedesktop.Notifications.Notify")));
        const QVariantList notice = services.call("org.freedesktop.Notifications.Notify")
                                        .value("args")
                                        .toVariant()
                                        .toList();
        QCOMPARE(notice.value(4).toString(), w.alarmTime.left(5));
        QCOMPARE(notice.value(5).toStringList(), QStringList({ "stop", "Stop Alarm" }));
        QCOMPARE(notice.value(6).toMap().value("urgency").toInt(), 2);
        QCOMPARE(notice.value(7).toInt(), 0);
        QTest::qWait(200);
        QVERIFY(!services.waitFor(
            [](const QJsonObject &r) { return r.value("event") == "released"; }, 0));

        if (means == QLatin1String("button")) {
            button(w)->click();
        } else if (means == QLatin1String("notification")) {
            services.process.write("invoke 1 stop\n");
        } else if (means == QLatin1String("sound")) {
            // A loud sound in the room once the play has ended and the room
            // was heard quiet.
            REQUIRE_SOUND_SERVER();
            w.maxLevel = 0.2;
            QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
            QTest::qWait(300);
            w.m_audioInfo->write(QByteArray(320, '\x7f'));
        } else {
            writeFile(sensorDir.filePath(QStringLiteral("accelerometer")),
                means == QLatin1String("shake") ? "-60,0,-9.8\n" : "0,0,9.8\n");
        }
        QTRY_COMPARE(w.alarm_state, 0);
        writeFile(sensorDir.filePath(QStringLiteral("accelerometer")), "0,0,-9.8\n");
        if (hasSoundServer()) {
            QTest::qWait(300);
            QVERIFY(speakerPeak(2500) < 0.01);
        }
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        QVERIFY(
            services.waitFor([](const QJsonObject &r) { return r.value("event") == "released"; }));
        QVERIFY(services.called(QStringLiteral("org.gnome.SessionManager.Uninhibit")));
        QCOMPARE(services.call("org.gnome.SessionManager.Uninhibit").value("args").toVariant(),
            QVariant(QVariantList { 1 }));
        QVERIFY(services.called(QStringLiteral("org.freedesktop.Notifications.CloseNotification")));
    }

    void onlyTheNotificationServerStopsIt_data()
    {
        QTest::addColumn<QString>("services");
        QTest::addColumn<QString>("signal");
        QTest::addColumn<bool>("fromServer");
        QTest::newRow("another client") << "notifications"
                                        << "ActionInvoked 1 stop" << false;
        QTest::newRow("no notification server") << "screensaver"
                                                << "ActionInvoked 0 stop" << false;
        // A server may hand out a closed notification's id again.
        QTest::newRow("closed, then its id invoked") << "notifications"
                                                     << "close 1\ninvoke 1 stop" << true;
    }

    // The ringing notification's "Stop Alarm" comes from the notification
    // server alone, and only for the notification it showed.
    void onlyTheNotificationServerStopsIt()
    {
        QFETCH(QString, services);
        QFETCH(QString, signal);
        QFETCH(bool, fromServer);
        StandIns standIns(bus.address, services);
        QVERIFY(standIns.ready());
        WorkDir dir;
        writeConf();
        MainWindow w;
        arm(w);
        w.playAlarm();
        if (services.contains(QLatin1String("notifications")))
            QVERIFY(standIns.called(QStringLiteral("org.freedesktop.Notifications.Notify")));
        QTest::qWait(300);
        if (fromServer) {
            standIns.process.write(signal.toLatin1() + '\n');
        } else {
            const QStringList words = signal.split(QLatin1Char(' '));
            QCOMPARE(
                QProcess::execute(QStringLiteral("dbus-send"),
                    { "--bus=" + bus.address, "--type=signal", "/org/freedesktop/Notifications",
                        "org.freedesktop.Notifications." + words[0], "uint32:" + words[1],
                        "string:" + words[2] }),
                0);
        }
        QTest::qWait(500);
        QVERIFY(w.alarm_state >= 2);
        button(w)->click();
    }

    // The first tick past the wake moment keeps the phone awake, whether or
    // not the wake timer's word has come.
    void tickPastTheWakeMomentKeepsAwake()
    {
        StandIns services(bus.address, QStringLiteral("logind,sessionmanager"));
        QVERIFY(services.ready());
        WorkDir dir;
        writeConf();
        MainWindow w;
        // The alarm keeps whole minutes: armed 7 to 12 s before one, past
        // its wake moment and over 5 s before its calibration. Under a faked
        // clock (ctest's entry for this case) the program's clock starts
        // there, a month ahead of the helper's, which keeps the real one and so
        // cannot fire for the moment first.
        const QDate day = QDate::currentDate().addDays(30);
        if (hasFakeClock()) {
            setWallClock(
                day.toString(QStringLiteral("@yyyy-MM-dd 07:29:50")).toLatin1().constData());
            w.startClock();
        } else
            QTRY_VERIFY_WITH_TIMEOUT(
                QTime::currentTime().second() >= 48 && QTime::currentTime().second() < 53, 61000);
        const QTime alarm = QTime::currentTime().addSecs(60);
        w.findChild<QTimeEdit *>()->setTime(QTime(alarm.hour(), alarm.minute()));
        button(w)->click();
        QCOMPARE(w.alarm_state, 1);
        QTRY_VERIFY_WITH_TIMEOUT(w.ringingGuard->held(), 1500);
        QVERIFY(services.called(QStringLiteral("org.freedesktop.login1.Manager.Inhibit")));
        QCOMPARE(w.alarm_state, 1);
        // A new time zone puts the alarm hours away: the phone may sleep.
        if (hasFakeClock()) {
            setWallClock(
                day.toString(QStringLiteral("@yyyy-MM-dd 04:29:55")).toLatin1().constData());
            w.startClock();
            QVERIFY(!w.ringingGuard->held());
            QCOMPARE(w.alarm_state, 1);
        }
        button(w)->click();
    }

    void awakeFromTheWakeUpToTheStop_data()
    {
        QTest::addColumn<int>("refusals");
        QTest::newRow("lock given at once") << 0;
        QTest::newRow("logind refuses twice, as right after a resume") << 2;
    }

    // The phone is kept awake from the wake-up (or the calibration moment,
    // whichever comes first), before the alarm rings, until it stops; a
    // lock refused for the moment is asked for again.
    void awakeFromTheWakeUpToTheStop()
    {
        QFETCH(int, refusals);
        StandIns services(bus.address, QStringLiteral("logind,sessionmanager"));
        QVERIFY(services.ready());
        services.process.write("refuse " + QByteArray::number(refusals) + '\n');
        WorkDir dir;
        writeConf();
        MainWindow w;
        // A minute ahead: near enough for a wake-up to be the alarm's.
        arm(w, 1);
        QTest::qWait(300);
        QVERIFY(!services.called(QStringLiteral("org.gnome.SessionManager.Inhibit"), 0));
        // The phone wakes for the alarm.
        emit w.wakeTimer->fired(w.wakeTimer->moment());
        QVERIFY(services.called(QStringLiteral("org.gnome.SessionManager.Inhibit")));
        QCOMPARE(w.alarm_state, 1);
        QVERIFY(w.ringingGuard->held());
        auto inhibits = [&] {
            services.read();
            int count = 0;
            for (const QJsonObject &record : qAsConst(services.records))
                count += record.value("call") == "org.freedesktop.login1.Manager.Inhibit";
            return count;
        };
        QTRY_COMPARE_WITH_TIMEOUT(
            inhibits(), refusals + 1, (refusals + 1) * RingingGuard::retryMs + 2000);
        w.playAlarm();
        QVERIFY(w.alarm_state >= 2);
        QVERIFY(!services.waitFor(
            [](const QJsonObject &r) { return r.value("event") == "released"; }, 0));
        button(w)->click();
        QVERIFY(
            services.waitFor([](const QJsonObject &r) { return r.value("event") == "released"; }));
        QCOMPARE(log().filter(QStringLiteral("Cannot keep the phone from sleeping")).size(),
            refusals > 0 ? 1 : 0);
    }

    // Each service may be missing: the program says so once and rings; the
    // portable idle lock stands in for the session manager.
    void missingServicesRingAllTheSame()
    {
        StandIns services(bus.address, QStringLiteral("screensaver"));
        QVERIFY(services.ready());
        WorkDir dir;
        writeConf();
        MainWindow w;
        for (int alarm = 0; alarm < 2; ++alarm) {
            arm(w);
            w.playAlarm();
            QCOMPARE(w.alarm_state, 3);
            QVERIFY(services.called(QStringLiteral("org.freedesktop.ScreenSaver.Inhibit")));
            QTest::qWait(300);
            button(w)->click();
            QVERIFY(services.called(QStringLiteral("org.freedesktop.ScreenSaver.UnInhibit")));
        }
        QCOMPARE(log().filter(QStringLiteral("Cannot keep the phone from sleeping")).size(), 1);
        QCOMPARE(
            log().filter(QStringLiteral("Cannot show the alarm on the lock screen")).size(), 1);
        QCOMPARE(log().filter(QStringLiteral("Cannot keep the session")).size(), 0);
    }
};

ALARM_TEST_MAIN(TestWake)
#include "tst_wake.moc"
