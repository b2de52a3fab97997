#include "alarmschedule.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSound>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>

#include <ctime>

using namespace TestSupport;

namespace {

void writeConf(const QString &sound, const char *time = "07:30:00")
{
    writeFile(QStringLiteral("alarm.conf"), sound.toUtf8() + '\n' + time + "\n1\n1\n8\n1\n");
}

QString storedSound()
{
    return QString::fromUtf8(readFile(QStringLiteral("alarm.conf")).split('\n').value(0));
}

int effectStatus(const QSound *sound)
{
    return sound->findChild<QSoundEffect *>()->status();
}

qint64 residentKiB()
{
    for (const QByteArray &line : readFile(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong();
    return 0;
}

// Runs the sound drill in a child process with its own sound server (or
// none).
ChildRun runDrill(QProcessEnvironment env, const QString &motion)
{
    QTemporaryDir clock;
    env.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), clock.path() + QStringLiteral("/clock"));
    if (!motion.isEmpty()) {
        writeFile(clock.path() + QStringLiteral("/accelerometer"), "0,0,-9.8\n");
        env.insert(
            QStringLiteral("QT_ACCEL_FILEPATH"), clock.path() + QStringLiteral("/accelerometer"));
        env.insert(QStringLiteral("QT_ACCEL_DELIMITER"), QStringLiteral(","));
        env.insert(QStringLiteral("DRILL_MOTION"), motion);
    }
    return runSelf(env, { QStringLiteral("--sound-drill") }, 240000);
}

// The environment of a process whose sound output finds no server.
QProcessEnvironment withoutSoundServer(const QTemporaryDir &runtime)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("PULSE_SERVER"),
        QStringLiteral("unix:") + runtime.path() + QStringLiteral("/none"));
    env.insert(QStringLiteral("ALARMCLOCK_NO_SOUND_SERVER"), QStringLiteral("1"));
    return env;
}

} // namespace

// The ringing cycle with a sound server that is missing from the start or
// dies while the alarm rings: it goes on, and the button stops it.
class TestSoundDrill : public QObject {
    Q_OBJECT

private slots:
    void ringsOnAndStops()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        auto *button = w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
        setWallClock("2026-12-07 07:29:50");
        w.startClock();
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button->click();
        QCOMPARE(button->text(), QStringLiteral("Unset Alarm"));
        if (qEnvironmentVariableIsSet("DRILL_MOTION")) // lying face up
            QTRY_COMPARE(
                w.findChild<QLabel *>(QStringLiteral("testLabel"))->text(), QStringLiteral("5"));
        setWallClock("2026-12-07 07:29:56");
        w.startClock();
        setWallClock("2026-12-07 07:30:00");
        w.startClock();
        QCOMPARE(w.alarm_state, 3);
        const qint64 server = qEnvironmentVariableIntValue("DRILL_KILL_PID");
        if (server > 0) {
            QTest::qWait(500);
            QProcess::execute(
                QStringLiteral("kill"), { QStringLiteral("-9"), QString::number(server) });
        }
        // Plays that cannot sound still end; the cycle pauses and plays again.
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 3, 5000);
        QCOMPARE(button->text(), QStringLiteral("Stop Alarm"));
        const QByteArray motion = qgetenv("DRILL_MOTION");
        if (motion.isEmpty()) {
            button->click();
        } else {
            captureLog();
            writeFile(qEnvironmentVariable("QT_ACCEL_FILEPATH"), motion + '\n');
            QTRY_COMPARE(w.alarm_state, 0);
            QCOMPARE(log().filter(QStringLiteral("alarm stopped by")).size(), 1);
        }
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(button->text(), QStringLiteral("Set Alarm"));
        QTest::qWait(2500);
        QCOMPARE(w.alarm_state, 0);
    }
};

class TestAlarmClock : public QObject {
    Q_OBJECT

private:
    QPushButton *button(MainWindow &w)
    {
        return w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
    }
    QTimeEdit *editor(MainWindow &w)
    {
        return w.findChild<QTimeEdit *>(QStringLiteral("selectedTime"));
    }
    QLabel *testLabel(MainWindow &w) { return w.findChild<QLabel *>(QStringLiteral("testLabel")); }

    void tick(MainWindow &w, const char *when)
    {
        setWallClock(when);
        w.startClock();
    }

    // Arms `w` for `alarm` with the wall clock at `now`.
    void arm(MainWindow &w, const char *now, const QTime &alarm)
    {
        tick(w, now);
        editor(w)->setTime(alarm);
        button(w)->click();
        QCOMPARE(w.alarm_state, 1);
    }

    // Arms `w` at 07:29:58 for 07:30 and lets the alarm moment come.
    void ring(MainWindow &w)
    {
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
    }

private slots:
    void initTestCase() { REQUIRE_FAKE_CLOCK(); }

    void init() { captureLog(); }

    void armingComputesCalibrationMoment_data()
    {
        QTest::addColumn<QTime>("alarm");
        QTest::addColumn<QString>("record");
        QTest::newRow("07:30") << QTime(7, 30) << "07:29:56";
        QTest::newRow("10:00") << QTime(10, 0) << "09:59:56";
        QTest::newRow("midnight") << QTime(0, 0) << "23:59:56";
        QTest::newRow("00:05") << QTime(0, 5) << "00:04:56";
    }

    void armingComputesCalibrationMoment()
    {
        QFETCH(QTime, alarm);
        QFETCH(QString, record);
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        arm(w, "2026-12-07 06:00:00", alarm);
        QCOMPARE(button(w)->text(), QStringLiteral("Unset Alarm"));
        QVERIFY(editor(w)->isReadOnly());
        QCOMPARE(w.alarmTime, alarm.toString());
        QCOMPARE(w.recordTime, record);
        QCOMPARE(testLabel(w)->text(), record);
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            "sounds/ringin.wav\n" + alarm.toString().toLatin1() + "\n1\n1\n8\n1\n");
        QVERIFY(w.soundObject);

        button(w)->click();
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        QVERIFY(!editor(w)->isReadOnly());
        QCOMPARE(testLabel(w)->text(), QString());
        QCOMPARE(w.maxLevel, 1.0);
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("label_trigger"))->text(),
            QStringLiteral("Max: 1"));
    }

    // With the wall clock running, the label steps through consecutive
    // seconds, each shown soon after its second began.
    void clockTicksOnConsecutiveSeconds()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        setWallClock("@2026-12-07 07:29:50");
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *label = w.findChild<QLabel *>(QStringLiteral("timeLabel"));
        QStringList shown { label->text() };
        QElapsedTimer watching;
        watching.start();
        while (shown.size() < 4 && watching.elapsed() < 6000) {
            QTest::qWait(5);
            if (label->text() == shown.last())
                continue;
            const QTime now = QTime::currentTime();
            QVERIFY2(now.msec() < 300, qPrintable(now.toString(QStringLiteral("hh:mm:ss.zzz"))));
            shown.append(label->text());
        }
        QCOMPARE(shown.size(), 4);
        for (int i = 1; i < shown.size(); ++i)
            QCOMPARE(QTime::fromString(shown[i - 1]).secsTo(QTime::fromString(shown[i])), 1);
    }

    void calibrationThenAlarmMoment()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:29:50", QTime(7, 30));
        tick(w, "2026-12-07 07:29:55");
        QVERIFY(!w.readLevel);
        tick(w, "2026-12-07 07:29:56");
        QVERIFY(w.readLevel);
        QVERIFY(log().contains(QStringLiteral("\"Initial Orientation: 0\"")));
        QCOMPARE(w.alarm_state, 1);
        // The room is measured for three seconds.
        QTRY_VERIFY_WITH_TIMEOUT(!w.readLevel, 4000);

        tick(w, "2026-12-07 07:29:59");
        QCOMPARE(w.alarm_state, 1);
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
        QCOMPARE(button(w)->text(), QStringLiteral("Stop Alarm"));
        QCOMPARE(w.soundObject->fileName(), QStringLiteral("sounds/ringin.wav"));
        QCOMPARE(w.time_from_start, float(2.0f + 0.2));
        QCOMPARE(w.ringTimer->interval(), 200);

        button(w)->click();
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        QVERIFY(!w.ringTimer->isActive());
    }

    void lateOrSkippedTicksStillRing_data()
    {
        QTest::addColumn<QTime>("alarm");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<bool>("rings");
        QTest::newRow("skipped second") << QTime(7, 30) << QByteArray("2026-12-07 07:29:59")
                                        << QByteArray("2026-12-07 07:30:01") << true;
        QTest::newRow("held up a minute") << QTime(7, 30) << QByteArray("2026-12-07 07:29:58")
                                          << QByteArray("2026-12-07 07:31:10") << true;
        QTest::newRow("across midnight") << QTime(0, 0) << QByteArray("2026-12-07 23:59:59")
                                         << QByteArray("2026-12-08 00:00:02") << true;
        QTest::newRow("not yet") << QTime(7, 30) << QByteArray("2026-12-07 07:29:58")
                                 << QByteArray("2026-12-07 07:29:59") << false;
        QTest::newRow("clock went back") << QTime(7, 30) << QByteArray("2026-12-07 07:31:00")
                                         << QByteArray("2026-12-07 07:29:00") << false;
    }

    void lateOrSkippedTicksStillRing()
    {
        QFETCH(QTime, alarm);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(bool, rings);
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        arm(w, before.constData(), alarm);
        tick(w, after.constData());
        QCOMPARE(w.alarm_state != 1, rings);
        if (!rings) {
            // Once the clock runs forward again, the alarm still comes at its moment.
            tick(w, QByteArray(after.left(11) + alarm.toString().toLatin1()).constData());
            QCOMPARE(w.alarm_state, 3);
        }
    }

    // When an alarm rings by the moment rules, the moments given in UTC:
    // a late alarm rings for ten minutes, and daylight saving time moves
    // nothing. Berlin skips 02:00 to 03:00 on 2025-03-30 and shows 02:00 to
    // 03:00 twice on 2025-10-26.
    void alarmMomentRules_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QTime>("alarm");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("now");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("next");
        const QByteArray utc("UTC");
        const QByteArray berlin("Europe/Berlin");
        const QTime half(7, 30);
        QTest::newRow("on time") << utc << half << "2026-12-07T07:29:59Z"
                                 << "2026-12-07T07:30:00Z" << int(AlarmSchedule::Due)
                                 << "2026-12-08T07:30:00Z";
        QTest::newRow("5 minutes late, back from a suspend")
            << utc << half << "2026-12-07T07:00:00Z"
            << "2026-12-07T07:35:00Z" << int(AlarmSchedule::Due) << "2026-12-08T07:30:00Z";
        QTest::newRow("3 hours late, back from a suspend")
            << utc << half << "2026-12-07T07:00:00Z"
            << "2026-12-07T10:30:00Z" << int(AlarmSchedule::Missed) << "2026-12-08T07:30:00Z";
        QTest::newRow("two days late")
            << utc << half << "2026-12-05T07:00:00Z"
            << "2026-12-07T07:31:00Z" << int(AlarmSchedule::Missed) << "2026-12-08T07:30:00Z";
        QTest::newRow("gap night: not before the gap")
            << berlin << QTime(2, 30) << "2025-03-30T00:59:58Z"
            << "2025-03-30T00:59:59Z" << int(AlarmSchedule::NotYet) << "2025-03-30T01:00:00Z";
        QTest::newRow("gap night: at 03:00")
            << berlin << QTime(2, 30) << "2025-03-30T00:59:59Z"
            << "2025-03-30T01:00:00Z" << int(AlarmSchedule::Due) << "2025-03-31T00:30:00Z";
        QTest::newRow("repeated night: the first 02:30")
            << berlin << QTime(2, 30) << "2025-10-26T00:29:59Z"
            << "2025-10-26T00:30:00Z" << int(AlarmSchedule::Due) << "2025-10-27T01:30:00Z";
        QTest::newRow("repeated night: set in the second pass, the second 02:30")
            << berlin << QTime(2, 30) << "2025-10-26T01:10:00Z"
            << "2025-10-26T01:30:00Z" << int(AlarmSchedule::Due) << "2025-10-27T01:30:00Z";
        QTest::newRow("repeated night: rung at the first, not again at the second")
            << berlin << QTime(2, 30) << "2025-10-26T00:30:00Z"
            << "2025-10-26T01:30:00Z" << int(AlarmSchedule::NotYet) << "2025-10-27T01:30:00Z";
    }

    void alarmMomentRules()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QTime, alarm);
        QFETCH(QString, since);
        QFETCH(QString, now);
        QFETCH(int, verdict);
        QFETCH(QString, next);
        const QByteArray previous = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        const QDateTime from = QDateTime::fromString(since, Qt::ISODate);
        const QDateTime to = QDateTime::fromString(now, Qt::ISODate);
        const int reached = AlarmSchedule::reached(alarm, from, to);
        const QDateTime following = AlarmSchedule::next(alarm, to).toUTC();
        // A restart at `now` judges the moment it remembered alike.
        const QDateTime moment = AlarmSchedule::next(alarm, from);
        const int remembered = AlarmSchedule::remembered(moment, to);
        qputenv("TZ", previous);
        tzset();
        QCOMPARE(reached, verdict);
        QCOMPARE(following, QDateTime::fromString(next, Qt::ISODate));
        if (verdict != AlarmSchedule::NotYet)
            QCOMPARE(remembered, verdict);
    }

    // A remembered alarm keeps its time of day in the zone in force when
    // the program starts again, and a moment it already rang for stays rung.
    void resumedAlarm_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QTime>("alarm");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("moment");
        QTest::addColumn<int>("verdict");
        QTest::newRow("same zone, 5 minutes late")
            << QByteArray("UTC") << QTime(7, 30) << "2026-12-07T07:30:00Z"
            << "2026-12-07T07:35:00Z"
            << "2026-12-07T07:30:00Z" << int(AlarmSchedule::Due);
        QTest::newRow("set in Berlin, started in New York at 02:30")
            << QByteArray("America/New_York") << QTime(7, 0) << "2026-12-07T06:00:00Z"
            << "2026-12-07T07:30:00Z"
            << "2026-12-07T12:00:00Z" << int(AlarmSchedule::NotYet);
        QTest::newRow("set in New York, started in Berlin at 08:00")
            << QByteArray("Europe/Berlin") << QTime(7, 0) << "2026-12-07T12:00:00Z"
            << "2026-12-07T07:00:00Z"
            << "2026-12-07T06:00:00Z" << int(AlarmSchedule::Missed);
        QTest::newRow("repeated night: crashed while the first 02:30 rang")
            << QByteArray("Europe/Berlin") << QTime(2, 30) << "2025-10-26T00:30:00Z"
            << "2025-10-26T01:20:00Z"
            << "2025-10-26T00:30:00Z" << int(AlarmSchedule::Missed);
        QTest::newRow("repeated night: set for the second 02:30")
            << QByteArray("Europe/Berlin") << QTime(2, 30) << "2025-10-26T01:30:00Z"
            << "2025-10-26T01:20:00Z"
            << "2025-10-26T01:30:00Z" << int(AlarmSchedule::NotYet);
    }

    void resumedAlarm()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QTime, alarm);
        QFETCH(QString, remembered);
        QFETCH(QString, now);
        QFETCH(QString, moment);
        QFETCH(int, verdict);
        const QByteArray previous = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        const QDateTime resumed
            = AlarmSchedule::resumed(alarm, QDateTime::fromString(remembered, Qt::ISODate));
        const int judged
            = AlarmSchedule::remembered(resumed, QDateTime::fromString(now, Qt::ISODate));
        // A local time is the instant it stands for only in its own zone.
        const QDateTime instant = resumed.toUTC();
        qputenv("TZ", previous);
        tzset();
        QCOMPARE(instant, QDateTime::fromString(moment, Qt::ISODate));
        QCOMPARE(judged, verdict);
    }

    // The phone slept through its alarm and was not woken: back hours
    // later, it does not ring, but tells of the missed alarm and forgets it.
    void longMissedAlarmIsToldOfNotRung()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:00:00", QTime(7, 30));
        QVERIFY(QFile::exists(MainWindow::rememberedAlarmFile()));
        tick(w, "2026-12-07 10:30:00");
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        QVERIFY(log().contains(QStringLiteral("Missed alarm 07:30")));
        QVERIFY(!QFile::exists(MainWindow::rememberedAlarmFile()));
    }

    // Started again unseen, as at login, seconds before a remembered alarm:
    // the clock looks at once, and the room is measured before it rings.
    // A month ahead, so that the wake-up timer, which keeps the real clock,
    // cannot tick for it.
    void restartJustBeforeTheAlarmMeasuresTheRoom()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        const QDate day = QDate::currentDate().addDays(30);
        const QByteArray date = day.toString(Qt::ISODate).toLatin1();
        writeFile(MainWindow::rememberedAlarmFile(),
            QByteArray::number(QDateTime(day, QTime(7, 30)).toSecsSinceEpoch()) + " 07:30:00\n");
        setWallClock((date + " 07:29:50").constData());
        MainWindow w;
        w.start(true);
        QCOMPARE(w.alarm_state, 1);
        setWallClock((date + " 07:29:56").constData());
        QTRY_VERIFY_WITH_TIMEOUT(w.readLevel, 2500);
        QCOMPARE(w.alarm_state, 1);
        button(w)->click();
    }

    void ringingCycleWithPausesAndBreak()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        ring(w);

        // Polled every 100 ms until the play ends, then a 2 s pause.
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        QCOMPARE(w.ringTimer->interval(), 2000);
        QVERIFY(w.time_from_start > 4.2f);
        QVERIFY(w.time_from_start < 2.2f + longestPlayMs<MainWindow>() / 1000.0f + 2.0f);
        const float afterFirst = w.time_from_start;
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 3, 3000);
        QCOMPARE(w.time_from_start, float(afterFirst + 0.2));
        QCOMPARE(button(w)->text(), QStringLiteral("Stop Alarm"));

        // About a minute of ringing earns a one-minute break.
        w.time_from_start = 57.5f;
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        QCOMPARE(w.time_from_start, 0.0f);
        QCOMPARE(w.ringTimer->interval(), 60000);
        QVERIFY(w.ringTimer->isActive());

        // Stopped during the break, set again: the left-over step must not ring.
        button(w)->click();
        QVERIFY(!w.ringTimer->isActive());
        arm(w, "2026-12-07 07:30:10", QTime(7, 45));
        QVERIFY(!w.ringTimer->isActive());
        QTest::qWait(100);
        QCOMPARE(w.alarm_state, 1);
        tick(w, "2026-12-07 07:45:00");
        QCOMPARE(w.alarm_state, 3);
    }

    void stopDuringPlayAndPause()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        tick(w, "2026-12-07 07:30:00");
        QTest::qWait(300);
        QCOMPARE(w.alarm_state, 3);
        QVERIFY(!w.soundObject->isFinished());
        button(w)->click();
        QCOMPARE(w.alarm_state, 0);
        QTRY_VERIFY(w.soundObject->isFinished());
        w.playAlarm();
        QCOMPARE(w.alarm_state, 0);
        QVERIFY(!w.ringTimer->isActive());

        arm(w, "2026-12-07 07:30:05", QTime(7, 31));
        tick(w, "2026-12-07 07:31:00");
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        button(w)->click();
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        QTest::qWait(2200);
        QCOMPARE(w.alarm_state, 0);
    }

    void missingSoundRingsBuiltinWithoutChooser()
    {
        WorkDir dir;
        writeFile(QStringLiteral("mine.wav"), readFile(QStringLiteral("sounds/ringin.wav")));
        writeConf(QStringLiteral("mine.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        QFile::remove(QStringLiteral("mine.wav"));
        // No chooser may hold up the alarm: fail the test if one opens.
        bool chooserOpened = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                chooserOpened = true;
                dialog->reject();
            }
        });
        watch.start(10);
        tick(w, "2026-12-07 07:30:00");
        QVERIFY(!chooserOpened);
        QCOMPARE(w.alarm_state, 3);
        QCOMPARE(w.soundObject->fileName(), QStringLiteral(":/sounds/warning.wav"));
        const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        QVERIFY(log().contains(QStringLiteral("\"Music directory: ") + music + QLatin1Char('"')));
        QCOMPARE(storedSound(), music + QStringLiteral("/mine.wav"));
    }

    // The drills stop the alarm by the button, and by moving the phone
    // (through Qt's file-driven sensors).
    void stopMeans(const QString &motion)
    {
        QTest::addColumn<QString>("motion");
        QTest::newRow("button") << QString();
        QTest::newRow("motion") << motion;
    }

    void undecodableSoundRingsBuiltin_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("text file") << "bad.wav" << QByteArray("this is not a sound\n");
        QTest::newRow("broken header")
            << "bad.wav" << QByteArray("RIFF\x10\x00\x00\x00WAVEfmt garbage", 24);
        QTest::newRow("cut short")
            << "bad.wav"
            << readFile(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/sounds/ringin.wav")).left(30000);
        QTest::newRow("endless") << "/dev/zero" << QByteArray();
        QTest::newRow("2 GB") << "huge.wav" << QByteArray();
    }

    void undecodableSoundRingsBuiltin()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        WorkDir dir;
        if (!content.isEmpty()) {
            writeFile(name, content);
        } else if (!name.startsWith(QLatin1Char('/'))) {
            // A real wave header in front of two gigabytes (sparse on disk).
            QFile huge(name);
            QVERIFY(huge.open(QIODevice::WriteOnly));
            huge.write(readFile(QStringLiteral("sounds/ringin.wav")).left(44));
            QVERIFY(huge.resize(2LL * 1024 * 1024 * 1024));
        }
        writeConf(name);
        MainWindow w;
        ring(w);
        QTRY_COMPARE_WITH_TIMEOUT(
            w.soundObject->fileName(), QStringLiteral(":/sounds/warning.wav"), 8000);
        QCOMPARE(storedSound(), name);
        QCOMPARE(w.alarm_state, 3);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        QVERIFY2(residentKiB() < 300 * 1024, qPrintable(QString::number(residentKiB())));
    }

    // A file plays at its own rate: a slow one (8-bit, 2000 Hz) is not cut
    // short and started again while it is still heard.
    void slowFilePlaysToItsEnd()
    {
        REQUIRE_SOUND_SERVER();
        WorkDir dir;
        QProcess sox;
        sox.start(QStringLiteral("sox"),
            { "-n", "-r", "2000", "-b", "8", "-e", "unsigned-integer", "-c", "1", "slow.wav",
                "synth", "8", "sine", "440", "vol", "0.5" });
        QVERIFY(sox.waitForFinished() && sox.exitCode() == 0);
        writeConf(QStringLiteral("slow.wav"));
        MainWindow w;
        ring(w);
        QCOMPARE(w.soundObject->fileName(), QStringLiteral("slow.wav"));
        QTest::qWait(7500);
        QCOMPARE(w.alarm_state, 3);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 5000);
        button(w)->click();
    }

    void manySetsAndAlarmsStayBounded_data()
    {
        QTest::addColumn<bool>("soundServer");
        QTest::newRow("sound server") << true;
        QTest::newRow("no sound server") << false;
    }

    // Sounds that never load, as without a sound server, must be released too.
    void manySetsAndAlarmsStayBounded()
    {
        QFETCH(bool, soundServer);
        if (soundServer) {
            REQUIRE_SOUND_SERVER();
        } else if (!qEnvironmentVariableIsSet("ALARMCLOCK_NO_SOUND_SERVER")) {
            QTemporaryDir runtime;
            QVERIFY_CHILD(runSelf(withoutSoundServer(runtime),
                { QStringLiteral("manySetsAndAlarmsStayBounded:no sound server") }, 240000));
            return;
        }
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        tick(w, "2026-12-07 06:00:00");
        auto setAndUnset = [&](int times) {
            for (int i = 0; i < times; ++i) {
                button(w)->click();
                button(w)->click();
                if (i % 50 == 0)
                    QCoreApplication::processEvents();
            }
            QTest::qWait(200);
        };
        // Only a plain build can tell how memory grows: AddressSanitizer holds
        // freed memory back. It looks at every use of memory instead, which
        // a tenth of the rounds shows as well as all of them.
#ifdef ALARMCLOCK_SANITIZE
        const int rounds = 1000;
#else
        const int rounds = 10000;
#endif
        setAndUnset(200);
        const qint64 before = residentKiB();
        setAndUnset(rounds);
        const qint64 afterClicks = residentKiB();

        QByteArray day("2026-12-08 07:29:58");
        for (int i = 0; i < rounds / 100; ++i) {
            day[9] = char('8' + i % 2);
            arm(w, day.constData(), QTime(7, 30));
            tick(w, QByteArray(day.left(11) + "07:30:00").constData());
            QCOMPARE(w.alarm_state, 3);
            QTest::qWait(10);
            button(w)->click();
            QCOMPARE(w.alarm_state, 0);
        }
        // Sounds that never loaded are released once the load grace is over.
        QTest::qWait(MainWindow::loadGraceMs + 1000);
        const qint64 after = residentKiB();
        fprintf(stderr,
            "resident memory: %lld KiB before, %lld KiB after %d set and unset, %lld KiB "
            "after %d alarms\n",
            before, afterClicks, rounds, after, rounds / 100);
#ifndef ALARMCLOCK_SANITIZE
        QVERIFY2(after - before < 8 * 1024, qPrintable(QString::number(after - before)));
#endif
        // Nothing rings on its own afterwards.
        QCOMPARE(w.alarm_state, 0);
        QVERIFY(!w.ringTimer->isActive());
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
    }

    void noSoundServerAtStart_data()
    {
        stopMeans(QStringLiteral("0,0,9.8"));
    }

    void noSoundServerAtStart()
    {
        QFETCH(QString, motion);
        QTemporaryDir runtime;
        QVERIFY_CHILD(runDrill(withoutSoundServer(runtime), motion));
    }

    void soundServerDiesWhileRinging_data()
    {
        stopMeans(QStringLiteral("-60,0,-9.8"));
    }

    void soundServerDiesWhileRinging()
    {
        QFETCH(QString, motion);
        QTemporaryDir runtime;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.remove(QStringLiteral("PULSE_SERVER"));
        QProcess server;
        server.setProcessEnvironment(env);
        server.start(QStringLiteral("pulseaudio"),
            { "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                "--load=module-native-protocol-unix",
                "--load=module-null-sink sink_name=speaker" });
        REQUIRE_PREREQUISITE(server.waitForStarted(), "pulseaudio (package pulseaudio)");
        QTRY_VERIFY_WITH_TIMEOUT(
            QFile::exists(runtime.path() + QStringLiteral("/pulse/native")), 10000);
        env.insert(QStringLiteral("DRILL_KILL_PID"), QString::number(server.processId()));
        QVERIFY_CHILD(runDrill(env, motion));
        server.waitForFinished(1000);
    }

    void chooserPicksOrCancels()
    {
        WorkDir dir;
        writeFile(QStringLiteral("picked.wav"), readFile(QStringLiteral("sounds/ringin.wav")));
        const QString absent = dir.path() + QStringLiteral("/gone.wav");
        writeConf(absent);
        MainWindow w;
        auto *list = w.findChild<QComboBox *>(QStringLiteral("soundComboBox"));
        const int items = list->count();

        // An absolute name is kept as it is, and cancelling changes nothing.
        const int seen = choosersSeen();
        answerChooser(QString());
        arm(w, "2026-12-07 07:00:00", QTime(7, 30));
        QCOMPARE(choosersSeen(), seen + 1);
        QCOMPARE(storedSound(), absent);
        QCOMPARE(list->count(), items);

        button(w)->click();
        log().clear();
        const QString picked = dir.path() + QStringLiteral("/picked.wav");
        answerChooser(picked);
        arm(w, "2026-12-07 07:00:05", QTime(7, 30));
        QCOMPARE(storedSound(), picked);
        QCOMPARE(list->count(), items + 1);
        QCOMPARE(list->currentText(), picked);
        QCOMPARE(w.soundObject->fileName(), picked);
        QVERIFY(log().contains(QLatin1Char('"') + picked + QLatin1Char('"')));
    }

    void speakerCarriesTheAlarm_data()
    {
        QTest::addColumn<bool>("fileBeside");
        QTest::addColumn<QString>("played");
        QTest::newRow("file beside") << true << "sounds/warning.wav";
        QTest::newRow("built into the program") << false << ":/sounds/warning.wav";
    }

    // A built-in name plays the file of that name in the working directory,
    // or else the copy built into the program: no music folder, no chooser.
    void speakerCarriesTheAlarm()
    {
        QFETCH(bool, fileBeside);
        QFETCH(QString, played);
        REQUIRE_SOUND_SERVER();
        WorkDir dir(fileBeside);
        writeConf(QStringLiteral("sounds/warning.wav"));
        MainWindow w;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
                dialog->reject();
        });
        watch.start(10);
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        QVERIFY(log().filter(QStringLiteral("Music directory")).isEmpty());
        QCOMPARE(storedSound(), QStringLiteral("sounds/warning.wav"));
        QVERIFY(speakerPeak(500) < 0.01);
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.soundObject->fileName(), played);
        QVERIFY(speakerPeak(1200) > 0.3);
        QCOMPARE(effectStatus(w.soundObject), int(QSoundEffect::Ready));
        button(w)->click();
        QTest::qWait(300);
        QVERIFY(speakerPeak(2500) < 0.01);
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--sound-drill") == 0) {
        TestSoundDrill drill;
        return runTests(drill, 1, argv);
    }
    TestAlarmClock test;
    return runTests(test, argc, argv);
}
#include "tst_alarmclock.moc"
