// The alarm outlives its window: the built program on the virtual phone,
// its window closed as a phone shell closes it, started a second time, and
// killed and started again, with a notification server standing in on a
// private session bus.

#include "phone.h"
#include "standins.h"
#include "testsupport.h"

#include <QtTest>

#include <csignal>

using namespace Phone;
using namespace TestSupport;

namespace {

const QByteArray ringinConf("sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");

bool windowShown(const Program &program)
{
    return !run(QStringLiteral("xdotool"),
        { "search", "--all", "--onlyvisible", "--pid", QString::number(program.process.processId()),
            "--name", "^MainWindow$" })
                .isEmpty();
}

// As a window manager or a phone shell does when a person closes the window.
// A window still shown 5 s later is described in the log (seen about once
// in five full runs under load, not yet understood) and asked again.
void closeWindow(const Program &program)
{
    QProcess::execute(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(ALARMCLOCK_SOURCE_DIR "/tests/closewindow.py"), program.window });
    QElapsedTimer waited;
    waited.start();
    while (windowShown(program) && waited.elapsed() < 5000)
        QTest::qWait(50);
    if (!windowShown(program))
        return;
    qWarning("still shown after WM_DELETE_WINDOW to %s: %s", qPrintable(program.window),
        qPrintable(run(QStringLiteral("xwininfo"), { "-id", program.window, "-tree" })
            + QLatin1Char('\n')
            + run(QStringLiteral("xdotool"),
                { "search", "--all", "--pid", QString::number(program.process.processId()),
                    "--name", "" })));
    // Asked once more, as a person swipes again; the warning above stays in
    // the log, and a window that ignores this too fails the case.
    QProcess::execute(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(ALARMCLOCK_SOURCE_DIR "/tests/closewindow.py"), program.window });
}

// The program's capture streams on the sound server: none means the
// microphone is not listening for it.
int captureStreams(const Program &program)
{
    return run(QStringLiteral("pactl"), { "list", "source-outputs" })
        .count(QStringLiteral("application.process.id = \"%1\"").arg(program.process.processId()));
}

// Whether the level bar shows more than the room's hum: its left end filled.
bool levelBarMoved()
{
    const QString pixel = run(QStringLiteral("convert"),
        { "x:root", "-crop", "1x1+100+64", "-format", "%[fx:int(255*r)]", "info:" });
    return pixel.toInt() < 128;
}

QString remembered(const Program &program)
{
    return QString::fromLatin1(readFile(program.file(QStringLiteral("alarm.armed"))).trimmed());
}

} // namespace

class TestLifecycle : public QObject {
    Q_OBJECT

private:
    PrivateBus bus;

    // The program on the private bus, its clock starting at `clock`.
    void useBus(Program &program) const
    {
        program.env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address);
    }

    QJsonObject lastNotification(StandIns &services)
    {
        services.read();
        QJsonObject last;
        for (const QJsonObject &record : qAsConst(services.records))
            if (record.value("call") == "org.freedesktop.Notifications.Notify")
                last = record;
        return last;
    }

private slots:
    void initTestCase()
    {
        REQUIRE_VIRTUAL_PHONE();
        REQUIRE_PREREQUISITE(bus.start(), "dbus-daemon (package dbus)");
    }

    void cleanupTestCase() { bus.stop(); }

    void closingTheWindow_data()
    {
        QTest::addColumn<bool>("armed");
        QTest::addColumn<QString>("then");
        QTest::newRow("not armed") << false << "";
        QTest::newRow("armed, unset from the notification") << true << "unset";
        QTest::newRow("armed, the window back from the notification") << true << "default";
        QTest::newRow("armed, rings, stopped from the notification") << true << "stop";
    }

    // A closed window ends the program, unless an alarm is set: then the
    // program goes on without it, a notification says when the alarm will
    // ring and offers to unset it or to show the window, and the alarm
    // rings all the same. Once it is unset or stopped, the program ends.
    void closingTheWindow()
    {
        QFETCH(bool, armed);
        QFETCH(QString, then);
        StandIns services(bus.address, QStringLiteral("notifications"));
        QVERIFY(services.ready());
        Program program(ringinConf,
            then == QLatin1String("stop") ? "@2026-12-07 07:29:52" : "@2026-12-07 07:00:00");
        useBus(program);
        QVERIFY(program.start());
        if (armed) {
            program.clickButton();
            QTRY_VERIFY2(remembered(program).endsWith(QLatin1String(" 07:30:00")),
                qPrintable(remembered(program)));
        }
        closeWindow(program);
        if (!armed) {
            QVERIFY(program.ended(5000));
            QCOMPARE(program.process.exitCode(), 0);
            return;
        }
        QTRY_VERIFY(!windowShown(program));
        QVERIFY(services.called(QStringLiteral("org.freedesktop.Notifications.Notify")));
        const QVariantList notice = lastNotification(services).value("args").toVariant().toList();
        QCOMPARE(notice.value(3).toString(), QStringLiteral("Alarm set for 07:30"));
        QCOMPARE(notice.value(5).toStringList(),
            QStringList({ "unset", "Unset Alarm", "default", "Alarm Clock" }));
        QCOMPARE(notice.value(6).toMap().value("resident").toBool(), true);
        QCOMPARE(program.process.state(), QProcess::Running);

        if (then == QLatin1String("stop")) {
            Speaker speaker;
            speaker.start();
            QVERIFY(speaker.waitForLoud(0.3, 15000) > 0.3);
            const QVariantList ringing
                = lastNotification(services).value("args").toVariant().toList();
            QCOMPARE(ringing.value(3).toString(), QStringLiteral("Alarm"));
            QCOMPARE(ringing.value(5).toStringList(), QStringList({ "stop", "Stop Alarm" }));
        }
        services.process.write("invoke 1 " + then.toLatin1() + '\n');
        services.process.waitForBytesWritten();
        if (then == QLatin1String("default")) {
            QTRY_VERIFY(windowShown(program));
            QVERIFY(
                services.called(QStringLiteral("org.freedesktop.Notifications.CloseNotification")));
            QVERIFY(!remembered(program).isEmpty());
        } else {
            QVERIFY(program.ended(5000));
            QCOMPARE(program.process.exitCode(), 0);
            QVERIFY(remembered(program).isEmpty());
        }
    }

    // Started again from the app grid while it runs, the program shows the
    // running one's window, hidden or not, and ends.
    void secondStartShowsTheFirst()
    {
        Program first(ringinConf, "@2026-12-07 07:00:00");
        useBus(first);
        QVERIFY(first.start());
        first.clickButton();
        closeWindow(first);
        QTRY_VERIFY(!windowShown(first));

        QProcess second;
        QProcessEnvironment env = first.env;
        second.setProcessEnvironment(env);
        second.setWorkingDirectory(first.dir.path());
        second.start(first.command, QStringList());
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(windowShown(first));
        QCOMPARE(first.process.state(), QProcess::Running);
        QVERIFY(!remembered(first).isEmpty());
    }

    // Started by D-Bus activation, as the app grid and the service manager
    // start it: the window shows on the activating call. An alarm set there
    // and its window closed before the program's wait for that call is over
    // is kept, and rings.
    void activatedProgramKeepsItsAlarm()
    {
        StandIns services(bus.address, QStringLiteral("notifications"));
        QVERIFY(services.ready());
        Program program(ringinConf, "@2026-12-07 07:29:26");
        useBus(program);
        program.arguments = QStringList { QStringLiteral("--service") };
        QProcess activate;
        activate.start(QStringLiteral("sh"),
            { "-c",
                QStringLiteral("until gdbus call --address '%1' --dest " ALARMCLOCK_APP_ID
                               " --object-path /org/alarmclock/AlarmClock --method "
                               "org.freedesktop.Application.Activate {} >/dev/null 2>&1; do "
                               "sleep 0.1; done")
                    .arg(bus.address) });
        QVERIFY(program.start());
        QTRY_COMPARE(activate.state(), QProcess::NotRunning);
        program.clickButton();
        closeWindow(program);
        QTRY_VERIFY(!windowShown(program));
        // The wait for the activating call is 25 s.
        QTest::qWait(26000);
        QCOMPARE(program.process.state(), QProcess::Running);
        QVERIFY(!remembered(program).isEmpty());
        Speaker speaker;
        speaker.start();
        QVERIFY(speaker.waitForLoud(0.3, 15000) > 0.3);
    }

    // While nobody can see the window and the alarm is not near, the
    // microphone is closed; it opens for the alarm, which rings, measures
    // the room and stops by claps as ever. It opens again the moment the
    // window can be seen, and closes behind the lock screen.
    void waitingCostsNothing()
    {
        {
            StandIns services(bus.address, QStringLiteral("notifications"));
            QVERIFY(services.ready());
            Program program(ringinConf, "@2026-12-07 07:29:26");
            QVERIFY(makeClaps(program.file(QStringLiteral("claps.wav"))));
            useBus(program);
            QVERIFY(program.start());
            QTRY_COMPARE(captureStreams(program), 1);
            program.clickButton();
            closeWindow(program);
            QTRY_COMPARE(captureStreams(program), 0);
            QTest::qWait(4000);
            QCOMPARE(captureStreams(program), 0);
            // From the wake lead, 14 s before the alarm.
            QTRY_COMPARE_WITH_TIMEOUT(captureStreams(program), 1, 20000);
            Speaker speaker;
            speaker.start();
            QVERIFY(speaker.waitForLoud(0.3, 15000) > 0.3);
            QVERIFY(program.log().contains(QStringLiteral("\"Initial Orientation: 5\"")));
            QVERIFY(speaker.waitForPause(10000));
            QProcess claps;
            playInRoom(claps, program.file(QStringLiteral("claps.wav")));
            QVERIFY(program.waitForLog(QStringLiteral("alarm stopped by sound"), 3000));
            QVERIFY(!program.log().contains(
                QStringLiteral("Measuring the room in the first pause: the alarm rang without "
                               "measuring it first")));
            QVERIFY(program.ended(5000));
            claps.waitForFinished();
        }

        StandIns services(bus.address, QStringLiteral("notifications,logind"));
        QVERIFY(services.ready());
        Program program(ringinConf, "@2026-12-07 07:00:00");
        useBus(program);
        program.env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus.address);
        QVERIFY(program.start());
        program.clickButton();
        QTRY_COMPARE(captureStreams(program), 1);
        for (const char *command : { "lock\n", "unlock\n" }) {
            services.process.write(command);
            services.process.waitForBytesWritten();
            QTRY_COMPARE(captureStreams(program), command[0] == 'l' ? 0 : 1);
        }
        closeWindow(program);
        QTRY_COMPARE(captureStreams(program), 0);
        QVERIFY(makeTone(program.file(QStringLiteral("loud.wav")), QStringLiteral("4"),
            QStringLiteral("500"), QStringLiteral("0.8")));
        QProcess loud;
        playInRoom(loud, program.file(QStringLiteral("loud.wav")));
        QTest::qWait(300);
        services.process.write("invoke 1 default\n");
        services.process.waitForBytesWritten();
        QTRY_VERIFY(windowShown(program));
        QTRY_VERIFY_WITH_TIMEOUT(levelBarMoved(), 1000);
        loud.waitForFinished();
    }

    void soundServerRestarts_data()
    {
        QTest::addColumn<QByteArray>("clock");
        QTest::addColumn<bool>("ringing");
        QTest::addColumn<int>("awaySecs");
        QTest::newRow("while armed") << QByteArray("@2026-12-07 07:29:44") << false << 0;
        QTest::newRow("while ringing") << QByteArray("@2026-12-07 07:29:55") << true << 0;
        QTest::newRow("while ringing, away 6 s") << QByteArray("@2026-12-07 07:29:55") << true << 6;
    }

    // The sound server crashes and its service manager starts it again at
    // once: the microphone is opened anew, said lost and back once, the
    // alarm rings (on time, when it was armed), and claps in a pause stop
    // it; also when the server is away for longer than the toolkit's own
    // audio waits for it.
    void soundServerRestarts()
    {
        QFETCH(QByteArray, clock);
        QFETCH(bool, ringing);
        QFETCH(int, awaySecs);
        // Armed before the clock reaches the row's moment, however long the
        // start takes: a ringing alarm has measured the room first. An alarm
        // merely armed starts at its moment: under libfaketime a clock set
        // forward, then a server's restart, stops the program's timers.
        Program program(ringinConf, ringing ? QByteArray("@2026-12-07 07:29:30") : clock);
        QVERIFY(makeClaps(program.file(QStringLiteral("claps.wav"))));
        QVERIFY(program.start());
        program.clickButton();
        if (ringing)
            program.setClock(clock);
        QTRY_COMPARE(captureStreams(program), 1);
        if (ringing) {
            Speaker speaker;
            speaker.start();
            QVERIFY(speaker.waitForLoud(0.3, 15000) > 0.3);
        }
        QCOMPARE(
            QProcess::execute(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/scripts/virtual-phone.sh"),
                { "restart-server", qEnvironmentVariable("PHONE_STATE"),
                    QString::number(awaySecs) }),
            0);
        QVERIFY(program.waitForLog(
            QStringLiteral(
                "The microphone was lost: stop by sound is unavailable until it is back"),
            5000));
        // The retries wait 1, 2, 4 and 8 s: back within 15 s of a server
        // that is back 6 s after the loss.
        QVERIFY(
            program.waitForLog(QStringLiteral("The microphone is back"), 15000 + awaySecs * 1000));
        QTRY_COMPARE(captureStreams(program), 1);
        Speaker speaker;
        speaker.start();
        // Armed, the alarm is due at 07:30:00, some 10 s after the restart.
        QVERIFY(speaker.waitForLoud(0.3, ringing ? 10000 : 14000) > 0.3);
        QVERIFY(speaker.waitForPause(10000));
        QProcess claps;
        playInRoom(claps, program.file(QStringLiteral("claps.wav")));
        QVERIFY(program.waitForLog(QStringLiteral("alarm stopped by sound"), 3000));
        claps.waitForFinished();
        QCOMPARE(program.log().filter(QStringLiteral("The microphone")).size(), 2);
    }

    // The shell restarts while the alarm rings: its new notification server
    // shows the ringing alarm again, never hears of the old one's id, and
    // its Stop Alarm stops the alarm.
    void notificationServerRestarts()
    {
        auto first = QSharedPointer<StandIns>::create(bus.address, QStringLiteral("notifications"));
        QVERIFY(first->ready());
        Program program(ringinConf, "@2026-12-07 07:29:55");
        useBus(program);
        QVERIFY(program.start());
        program.clickButton();
        QTRY_COMPARE_WITH_TIMEOUT(
            lastNotification(*first).value("args").toVariant().toList().value(3),
            QVariant(QStringLiteral("Alarm")), 15000);
        first->process.kill();
        first->process.waitForFinished();
        first.reset();

        StandIns second(bus.address, QStringLiteral("notifications"), 41);
        QVERIFY(second.ready());
        QTRY_COMPARE(lastNotification(second).value("args").toVariant().toList().value(3),
            QVariant(QStringLiteral("Alarm")));
        const QVariantList ringing = lastNotification(second).value("args").toVariant().toList();
        QCOMPARE(ringing.value(1).toUInt(), 0u);
        QCOMPARE(ringing.value(5).toStringList(), QStringList({ "stop", "Stop Alarm" }));
        second.process.write("invoke 41 stop\n");
        second.process.waitForBytesWritten();
        QTRY_VERIFY(remembered(program).isEmpty());
        for (const QJsonObject &record : qAsConst(second.records))
            QVERIFY2(!record.value("call").toString().endsWith(QLatin1String("CloseNotification"))
                    || record.value("args").toArray().first().toInt() == 41,
                qPrintable(QJsonDocument(record).toJson()));
    }

    void restart_data()
    {
        QTest::addColumn<QByteArray>("clock");
        QTest::addColumn<bool>("ahead");
        QTest::addColumn<bool>("rings");
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("alarm still ahead")
            << QByteArray("@2026-12-07 07:29:00") << true << false << QByteArray();
        QTest::newRow("5 minutes late")
            << QByteArray("@2026-12-07 07:35:00") << true << true << QByteArray();
        QTest::newRow("3 hours late")
            << QByteArray("@2026-12-07 10:30:00") << false << false << QByteArray();
        // Set at 07:00 in Berlin; started again at 02:30 in New York, an
        // hour after 07:30 in Berlin and five before 07:30 there.
        QTest::newRow("set in Berlin, started in New York") << QByteArray(
            "@2026-12-07 02:30:00") << true << false << QByteArray("America/New_York");
    }

    // Killed while armed (a crash, a flat battery), and started again: an
    // alarm still ahead is set again, one at most ten minutes late rings at
    // once, and one that passed long ago is not rung, but told of.
    void restart()
    {
        QFETCH(QByteArray, clock);
        QFETCH(bool, ahead);
        QFETCH(bool, rings);
        QFETCH(QByteArray, zone);
        StandIns services(bus.address, QStringLiteral("notifications"));
        QVERIFY(services.ready());
        Program first(ringinConf, "@2026-12-07 07:00:00");
        useBus(first);
        if (!zone.isEmpty())
            first.env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
        QVERIFY(first.start());
        first.clickButton();
        QTRY_VERIFY(!remembered(first).isEmpty());
        ::kill(pid_t(first.process.processId()), SIGKILL);
        QVERIFY(first.process.waitForFinished());

        Program again(QByteArray {}, clock);
        useBus(again);
        if (!zone.isEmpty())
            again.env.insert(QStringLiteral("TZ"), QString::fromLatin1(zone));
        again.workingDirectory = first.dir.path();
        QVERIFY(again.start());
        if (ahead) {
            QVERIFY(
                again.waitForLog(QStringLiteral("Alarm re-armed for 07:30 after a restart"), 3000));
            QVERIFY(!remembered(first).isEmpty());
            // What is remembered now is 07:30 where the phone is.
            if (!zone.isEmpty())
                QCOMPARE(remembered(first).split(QLatin1Char(' ')).value(0),
                    QString::number(
                        QDateTime::fromString(QStringLiteral("2026-12-07T12:30:00Z"), Qt::ISODate)
                            .toSecsSinceEpoch()));
            if (rings)
                QTRY_COMPARE(lastNotification(services).value("args").toVariant().toList().value(3),
                    QVariant(QStringLiteral("Alarm")));
            // The button reads "Unset Alarm" or "Stop Alarm": a click ends the alarm.
            again.clickButton();
            QTRY_VERIFY(remembered(first).isEmpty());
        } else {
            QVERIFY(again.waitForLog(QStringLiteral("Missed alarm 07:30"), 3000));
            QVERIFY(remembered(first).isEmpty());
            QVERIFY(services.called(QStringLiteral("org.freedesktop.Notifications.Notify")));
            QCOMPARE(lastNotification(services).value("args").toVariant().toList().value(3),
                QVariant(QStringLiteral("Missed alarm 07:30")));
            QCOMPARE(readFile(first.file(QStringLiteral("alarm.conf"))), ringinConf);
        }
        QVERIFY(!again.log().contains(QStringLiteral("Missed alarm 07:30")) || !ahead);
    }
};

ALARM_TEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
