#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSound>
#include <QStandardPaths>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>

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

// Peak amplitude (0 to 1) the speaker carries over `ms` milliseconds.
double speakerPeak(int ms)
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

} // namespace

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

private slots:
    void initTestCase()
    {
        if (!hasFakeClock())
            QSKIP("needs libfaketime with a timestamp file (run through ctest)");
    }

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

    void clockTicksOnTheSecond()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        setWallClock("2026-12-07 07:29:50");
        QTRY_COMPARE(
            w.findChild<QLabel *>(QStringLiteral("timeLabel"))->text(), QStringLiteral("07:29:50"));
        QVERIFY(w.clockTimer->isActive());
        QVERIFY(w.clockTimer->interval() > 1000 && w.clockTimer->interval() < 1020);
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

    void ringingCycleWithPausesAndBreak()
    {
        WorkDir dir;
        writeConf(QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);

        // Polled every 100 ms until the play ends, then a 2 s pause.
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 10000);
        QCOMPARE(w.ringTimer->interval(), 2000);
        QVERIFY(w.time_from_start > 4.2f && w.time_from_start < 15.0f);
        const float afterFirst = w.time_from_start;
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 3, 3000);
        QCOMPARE(w.time_from_start, float(afterFirst + 0.2));
        QCOMPARE(button(w)->text(), QStringLiteral("Stop Alarm"));

        // About a minute of ringing earns a one-minute break.
        w.time_from_start = 57.5f;
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 10000);
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
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 10000);
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
        QCOMPARE(w.soundObject->fileName(), QStringLiteral("sounds/warning.wav"));
        const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        QVERIFY(log().contains(QStringLiteral("\"Music directory: ") + music + QLatin1Char('"')));
        QCOMPARE(storedSound(), music + QStringLiteral("/mine.wav"));
    }

    void undecodableSoundRingsBuiltin_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("text file") << QByteArray("this is not a sound\n");
        QTest::newRow("broken header") << QByteArray("RIFF\x10\x00\x00\x00WAVEfmt garbage", 24);
        QTest::newRow("cut short")
            << readFile(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/sounds/ringin.wav")).left(30000);
    }

    void undecodableSoundRingsBuiltin()
    {
        QFETCH(QByteArray, content);
        WorkDir dir;
        writeFile(QStringLiteral("bad.wav"), content);
        writeConf(QStringLiteral("bad.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
        QTRY_COMPARE_WITH_TIMEOUT(
            w.soundObject->fileName(), QStringLiteral("sounds/warning.wav"), 8000);
        QCOMPARE(storedSound(), QStringLiteral("bad.wav"));
        QCOMPARE(w.alarm_state, 3);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 8000);
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

    void speakerCarriesTheAlarm()
    {
        if (!hasSoundServer())
            QSKIP("needs the virtual phone's sound server");
        WorkDir dir;
        writeConf(QStringLiteral("sounds/warning.wav"));
        MainWindow w;
        arm(w, "2026-12-07 07:29:58", QTime(7, 30));
        QVERIFY(speakerPeak(500) < 0.01);
        tick(w, "2026-12-07 07:30:00");
        QVERIFY(speakerPeak(1200) > 0.3);
        button(w)->click();
        QTest::qWait(300);
        QVERIFY(speakerPeak(2500) < 0.01);
    }
};

QTEST_MAIN(TestAlarmClock)
#include "tst_alarmclock.moc"
