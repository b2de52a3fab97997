#include "audiocapture.h"
#include "audioinfo.h"
#include "mainwindow.h"
#include "ownsound.h"
#include "pcmformat.h"
#include "testsupport.h"
#include "wavefile.h"

#include <QBuffer>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimeEdit>
#include <QtEndian>
#include <QtTest>

#include <algorithm>

using namespace TestSupport;

namespace {

QByteArray samples16(
    std::initializer_list<qint16> values, QAudioFormat::Endian order = QAudioFormat::LittleEndian)
{
    QByteArray bytes;
    for (qint16 v : values) {
        char two[2];
        if (order == QAudioFormat::LittleEndian)
            qToLittleEndian(v, two);
        else
            qToBigEndian(v, two);
        bytes.append(two, 2);
    }
    return bytes;
}

// A 20 ms chunk of the capture format whose loudest sample is `level`.
QByteArray chunkAt(qreal level)
{
    QByteArray bytes(320, '\0');
    const qint16 peak = qint16(qRound(level * 32767));
    bytes[100] = char(peak & 0xff);
    bytes[101] = char((peak >> 8) & 0xff);
    return bytes;
}

} // namespace

class TestSoundLevel : public QObject {
    Q_OBJECT

private:
    // Only what the test writes reaches the window, in the capture format,
    // whether or not a microphone offers that format. The window is shown:
    // the level is shown only where it can be seen.
    void useTestMeter(MainWindow &w)
    {
        w.show();
        disconnect(w.m_audioInfo, nullptr, &w, nullptr);
        w.m_audioInfo = new AudioInfo(pcmFormat(16, QAudioFormat::SignedInt), &w);
        connect(w.m_audioInfo, SIGNAL(update()), &w, SLOT(updateLevel()));
        w.m_audioInfo->start();
    }
    void hear(MainWindow &w, qreal level) { w.m_audioInfo->write(chunkAt(level)); }
    // Whether the alarm's own sound has died away, by what a quiet room
    // lets the microphone hear now.
    bool ownSoundGone(MainWindow &w)
    {
        hear(w, 0.0);
        return !w.ownSound.audible(OwnSound::now());
    }
    // A quiet room for `ms` milliseconds of sound.
    void hearQuiet(MainWindow &w, int ms)
    {
        for (int heard = 0; heard < ms; heard += 20)
            hear(w, 0.0);
    }
    QString text(MainWindow &w, const char *name)
    {
        return w.findChild<QLabel *>(QLatin1String(name))->text();
    }
    QPushButton *button(MainWindow &w)
    {
        return w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
    }

    void tick(MainWindow &w, const char *when)
    {
        setWallClock(when);
        w.startClock();
    }

    // Rings `w` through its real cycle, with the sound now playing.
    void ring(MainWindow &w)
    {
        tick(w, "2026-12-07 07:29:58");
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button(w)->click();
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
    }

    // Measures the room as the calibration does, hearing these levels, for
    // the shortest time that counts.
    void measureRoom(MainWindow &w, std::initializer_list<qreal> levels)
    {
        w.beginRoomMeasure(MainWindow::shortestRoomMeasureMs);
        for (const qreal level : levels)
            hear(w, level);
        QTRY_VERIFY(!w.readLevel);
    }

    void writeConf(bool stopBySound)
    {
        writeFile(QStringLiteral("alarm.conf"),
            QByteArray("sounds/ringin.wav\n07:30:00\n") + (stopBySound ? "1" : "0")
                + "\n0\n8\n0\n");
    }

private slots:
    void init() { captureLog(); }

    void meterMeasuresEveryLayout_data()
    {
        QTest::addColumn<QAudioFormat>("fmt");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qreal>("level");
        const auto s16 = pcmFormat(16, QAudioFormat::SignedInt);
        QTest::newRow("half scale") << s16 << samples16({ 0, -100, 16384, 5 }) << 16384 / 32767.0;
        QTest::newRow("most negative") << s16 << samples16({ 0, -32768 }) << 1.0;
        QTest::newRow("most positive") << s16 << samples16({ 32767, 1 }) << 1.0;
        QTest::newRow("silence") << s16 << QByteArray(64, '\0') << 0.0;
        QTest::newRow("0x4000 little-endian") << s16 << QByteArray("\x40\x00", 2) << 64 / 32767.0;
        QTest::newRow("0x4000 big-endian")
            << pcmFormat(16, QAudioFormat::SignedInt, QAudioFormat::BigEndian)
            << QByteArray("\x40\x00", 2) << 16384 / 32767.0;
        QTest::newRow("stereo, right only")
            << pcmFormat(16, QAudioFormat::SignedInt, QAudioFormat::LittleEndian, 2)
            << samples16({ 0, 8192, 0, -8000 }) << 8192 / 32767.0;
        QTest::newRow("8-bit most negative")
            << pcmFormat(8, QAudioFormat::SignedInt) << QByteArray("\x00\x80\x10", 3) << 1.0;
        QTest::newRow("8-bit unsigned silence")
            << pcmFormat(8, QAudioFormat::UnSignedInt) << QByteArray(50, '\x80') << 128 / 255.0;
        QTest::newRow("16-bit unsigned big-endian")
            << pcmFormat(16, QAudioFormat::UnSignedInt, QAudioFormat::BigEndian)
            << QByteArray("\x80\x00\x7f\xff", 4) << 32768 / 65535.0;
        QTest::newRow("32-bit") << pcmFormat(32, QAudioFormat::SignedInt)
                                << QByteArray("\xff\xff\xff\x7f", 4) << 0.0;
        QTest::newRow("float") << pcmFormat(16, QAudioFormat::Float) << QByteArray("\xff\x7f", 2)
                               << 0.0;
    }

    void meterMeasuresEveryLayout()
    {
        QFETCH(QAudioFormat, fmt);
        QFETCH(QByteArray, bytes);
        QFETCH(qreal, level);
        AudioInfo meter(fmt, nullptr);
        QSignalSpy updates(&meter, &AudioInfo::update);
        meter.start();
        QCOMPARE(meter.write(bytes), qint64(bytes.size()));
        QCOMPARE(updates.count(), 1);
        QVERIFY2(qAbs(meter.level() - level) < 1e-9, qPrintable(QString::number(meter.level())));

        // An empty chunk reads as silence, where the meter measures at all.
        meter.write(QByteArray());
        QCOMPARE(updates.count(), 2);
        QCOMPARE(meter.level(), 0.0);
    }

    void thresholdBeforeCalibration()
    {
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        useTestMeter(w);
        auto *bar = w.findChild<QProgressBar *>();
        hear(w, 1.0);
        QCOMPARE(text(w, "label_trigger"), QStringLiteral("max:2"));
        QTRY_COMPARE(text(w, "label_current"), QStringLiteral("Curent: 1"));
        QCOMPARE(bar->value(), 100);
        hear(w, 0.5);
        QTRY_COMPARE(bar->value(), 50);
        // However many chunks come between two looks, the latest is shown.
        for (int i = 0; i < 50; ++i)
            hear(w, i / 100.0);
        hear(w, 0.999);
        QTRY_COMPARE(bar->value(), 99);
        QCOMPARE(text(w, "label_current"), QStringLiteral("Curent: 0.998993"));

        REQUIRE_FAKE_CLOCK();
        ring(w);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        hearQuiet(w, 200);
        hear(w, 1.0);
        QCOMPARE(w.alarm_state, 2);
    }

    void ownSoundIsHeldBackUntilItHasDiedAway_data()
    {
        QTest::addColumn<QStringList>("sox");
        QTest::addColumn<int>("firstMs");
        QTest::addColumn<int>("lastMs");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<qreal>("room");
        QTest::addColumn<bool>("heard");
        const QStringList tone { "synth", "1.5", "sine", "440", "vol", "0.8" };
        const QStringList gapAtEnd { "synth", "0.8", "sine", "440", "vol", "0.8", ":", "synth",
            "0.15", "sine", "440", "vol", "0", ":", "synth", "0.1", "sine", "440", "vol", "0.8" };
        const QStringList lateStart { "synth", "0.3", "sine", "440", "vol", "0", ":", "synth", "1",
            "sine", "440", "vol", "0.8", ":", "synth", "0.5", "sine", "440", "vol", "0" };
        for (const int delay : { 0, 60, 200, 400, 500 })
            QTest::addRow("tone, echo %d ms", delay) << tone << 0 << 1500 << delay << 0.03 << true;
        QTest::newRow("beep, gap, short beep, echo 400 ms")
            << gapAtEnd << 0 << 1050 << 400 << 0.03 << true;
        QTest::newRow("silent start and end, echo 200 ms")
            << lateStart << 300 << 1300 << 200 << 0.03 << true;
        QTest::newRow("speaker not heard") << tone << 0 << 1500 << 60 << 0.03 << false;
        QTest::newRow("room too loud to tell") << tone << 0 << 1500 << 60 << 0.7 << true;
    }

    // The alarm's own sound, as the microphone hears it at a given echo
    // delay, chunks delivered every 50 ms: it counts as audible until the
    // file's last sound has come that late, and a little more, and never
    // longer; a play the microphone never hears holds nothing back.
    void ownSoundIsHeldBackUntilItHasDiedAway()
    {
        QFETCH(QStringList, sox);
        QFETCH(int, firstMs);
        QFETCH(int, lastMs);
        QFETCH(int, delayMs);
        QFETCH(qreal, room);
        QFETCH(bool, heard);
        WorkDir dir;
        QVERIFY(
            runSox(QStringList { "-n", "-r", "8000", "-b", "16", "-c", "1", "mine.wav" } + sox));
        qint64 first = 0;
        qint64 last = 0;
        WaveFile(QStringLiteral("mine.wav")).findSound(&first, &last);
        QVERIFY2(qAbs(first - firstMs) <= 2 && qAbs(last - lastMs) <= 2,
            qPrintable(QStringLiteral("%1 to %2 ms").arg(first).arg(last)));

        OwnSound own;
        const qint64 chunk = 50000;
        const qint64 start = 10 * chunk;
        const qint64 echoed = start + delayMs * 1000;
        // The room alone, then the play as the microphone hears it.
        qint64 t = 0;
        auto levelAt = [&](qint64 at) {
            const bool sounding
                = heard && at >= echoed + first * 1000 && at <= echoed + last * 1000;
            return sounding ? qMax(room, 0.6) : room;
        };
        for (; t < start; t += chunk)
            own.heard(t, room, 0.15);
        own.playStarted(QStringLiteral("mine.wav"), start);
        const qint64 margin = OwnSound::reverberationUs;
        qint64 gone = heard ? echoed + last * 1000 + margin
                            : start + first * 1000 + OwnSound::longestDelayUs;
        if (room > 0.5)
            gone = start + OwnSound::longestDelayUs + last * 1000 + margin;
        for (; t < gone + 10 * chunk; t += chunk) {
            own.heard(t, levelAt(t), 0.15);
            // Held back while it may still be heard; let go a chunk after.
            if (t < echoed + last * 1000 && (heard || room > 0.5))
                QVERIFY2(own.audible(t), qPrintable(QString::number(t - start)));
            if (t >= gone + chunk)
                QVERIFY2(!own.audible(t), qPrintable(QString::number(t - start)));
        }
        if (heard && room < 0.5)
            QVERIFY2(qAbs(own.delay() - delayMs * 1000) <= chunk,
                qPrintable(QString::number(own.delay())));
    }

    void calibrationSetsThreshold_data()
    {
        QTest::addColumn<qreal>("peak");
        QTest::addColumn<qreal>("threshold");
        QTest::newRow("0.05") << 0.05 << 0.15;
        QTest::newRow("0.1") << 0.1 << 0.18;
        QTest::newRow("0.4") << 0.4 << 0.72;
        QTest::newRow("0.42") << 0.42 << 0.504;
        QTest::newRow("0.9") << 0.9 << 1.0;
        QTest::newRow("silent") << 0.0 << 1.0;
    }

    void calibrationSetsThreshold()
    {
        QFETCH(qreal, peak);
        QFETCH(qreal, threshold);
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        useTestMeter(w);
        hear(w, 0.95); // heard outside the window: not counted
        measureRoom(w, { peak / 2, peak, peak / 3 });
        QVERIFY(w.roomMeasured);
        QVERIFY2(qAbs(w.maxLevel - threshold) < 1e-3, qPrintable(QString::number(w.maxLevel)));
    }

    // A loud room at one alarm (a truck passing) does not raise the
    // threshold of the next: each comes from its own room.
    void eachAlarmMeasuresItsOwnRoom()
    {
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        useTestMeter(w);
        measureRoom(w, { 0.4 });
        QVERIFY(qAbs(w.maxLevel - 0.72) < 1e-3);
        w.unsetAlarmTime();
        QCOMPARE(w.maxLevel, 1.0);
        measureRoom(w, { 0.2 });
        QVERIFY(qAbs(w.prevLevel - 0.2) < 1e-3);
        QVERIFY(qAbs(w.maxLevel - 0.36) < 1e-3);
    }

    void loudSoundStopsOnlyRingingPauses()
    {
        REQUIRE_FAKE_CLOCK();
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        useTestMeter(w);
        measureRoom(w, { 0.1 });

        // Armed, not ringing yet: nothing to stop.
        tick(w, "2026-12-07 07:29:58");
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button(w)->click();
        hear(w, 0.9);
        QTRY_COMPARE(text(w, "label_current"), QStringLiteral("Reached 0.899991"));
        QCOMPARE(w.alarm_state, 1);

        // The alarm's own sound is playing: not stopped.
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
        hear(w, 0.9);
        QCOMPARE(w.alarm_state, 3);

        // In the pause that follows, once the play's own sound has died
        // away, the same sound stops it.
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        QTRY_VERIFY(ownSoundGone(w));
        hear(w, 0.9);
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        QVERIFY(!w.findChild<QTimeEdit *>()->isReadOnly());
        QVERIFY(log().contains(QStringLiteral("alarm stopped by sound")));
        QCOMPARE(w.maxLevel, 1.0);
        QCOMPARE(text(w, "label_trigger"), QStringLiteral("Max: 1"));
        hear(w, 0.5);
        QCOMPARE(text(w, "label_trigger"), QStringLiteral("max:1"));
    }

    void unmeasuredAlarmMeasuresItsFirstPause_data()
    {
        QTest::addColumn<int>("calibrationMs");
        QTest::addColumn<bool>("heard");
        QTest::newRow("armed after its calibration moment") << 0 << false;
        // A phone resumed a moment before its alarm.
        QTest::newRow("1 ms calibration") << 1 << true;
        // The microphone delivered nothing meanwhile.
        QTest::newRow("calibration that heard no chunk") << 3000 << false;
    }

    // An alarm that rings without having measured the room does so in its
    // first pause, once its own sound has died away, and notes how the
    // phone lies; from then on a loud sound stops it.
    void unmeasuredAlarmMeasuresItsFirstPause()
    {
        QFETCH(int, calibrationMs);
        QFETCH(bool, heard);
        REQUIRE_FAKE_CLOCK();
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        useTestMeter(w);
        if (calibrationMs == 0) {
            ring(w);
        } else {
            tick(w, "2026-12-07 07:29:50");
            w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
            button(w)->click();
            w.openCalibration(QDateTime(QDate(2026, 12, 7), QTime(7, 30).addMSecs(-calibrationMs)));
            if (heard)
                hear(w, 0.05);
            QTRY_VERIFY_WITH_TIMEOUT(!w.readLevel, calibrationMs + 1000);
            tick(w, "2026-12-07 07:30:00");
            QCOMPARE(w.alarm_state, 3);
        }
        QVERIFY(!w.roomMeasured);
        QCOMPARE(w.maxLevel, 2.0);
        const QString orientation = QStringLiteral("\"Initial Orientation: 0\"");
        const int noted = log().count(orientation);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        QTRY_VERIFY(ownSoundGone(w));
        hear(w, 0.1);
        QVERIFY(w.readLevel);
        QVERIFY(log().contains(QStringLiteral(
            "Measuring the room in the first pause: the alarm rang without measuring it first")));
        QCOMPARE(log().count(orientation), noted + 1);
        hear(w, 1.0);
        QCOMPARE(w.alarm_state, 2);
        QTRY_VERIFY_WITH_TIMEOUT(!w.readLevel, 3000);
        // 1.0 heard while measuring: the threshold is the highest there is.
        QCOMPARE(w.maxLevel, 1.0);

        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 3, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        QTRY_VERIFY(ownSoundGone(w));
        hear(w, 1.0);
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(log().count(QStringLiteral("Measuring the room in the first pause: the alarm rang "
                                            "without measuring it first")),
            1);
    }

    // A tick held up past the calibration moment opens the window less than
    // three seconds before the alarm: it ends by the alarm moment, so the
    // alarm itself is never measured.
    void calibrationEndsBeforeTheAlarm()
    {
        REQUIRE_FAKE_CLOCK();
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        useTestMeter(w);
        tick(w, "2026-12-07 07:29:50");
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button(w)->click();
        tick(w, "2026-12-07 07:29:55");
        tick(w, "2026-12-07 07:29:59");
        QVERIFY(w.readLevel);
        QVERIFY(log().contains(
            QStringLiteral("Calibration shortened to 1000 ms: it must end before the alarm")));
        hear(w, 0.1);
        QTRY_VERIFY_WITH_TIMEOUT(!w.readLevel, 1500);
        hear(w, 0.9);
        QVERIFY2(qAbs(w.maxLevel - 0.18) < 1e-3, qPrintable(QString::number(w.maxLevel)));

        // The wall clock jumps past the alarm moment while the window is open.
        button(w)->click();
        tick(w, "2026-12-07 07:44:50");
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 45));
        button(w)->click();
        tick(w, "2026-12-07 07:44:56");
        QVERIFY(w.readLevel);
        hear(w, 0.2);
        // Open long enough to count, though not its three seconds.
        QTest::qWait(MainWindow::shortestRoomMeasureMs);
        tick(w, "2026-12-07 07:45:00");
        QVERIFY(!w.readLevel);
        QVERIFY(log().contains(QStringLiteral("Calibration closed early: the alarm is ringing")));
        QCOMPARE(w.alarm_state, 3);
        hear(w, 0.9);
        QVERIFY2(qAbs(w.maxLevel - 0.36) < 1e-3, qPrintable(QString::number(w.maxLevel)));
        QTest::qWait(3200);
        QVERIFY2(qAbs(w.maxLevel - 0.36) < 1e-3, qPrintable(QString::number(w.maxLevel)));
        button(w)->click();
    }

    void switchedOffSoundStopsNothing()
    {
        REQUIRE_FAKE_CLOCK();
        WorkDir dir;
        writeConf(false);
        MainWindow w;
        useTestMeter(w);
        measureRoom(w, { 0.1 });
        ring(w);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, longestPlayMs<MainWindow>());
        hearQuiet(w, 200);
        hear(w, 1.0);
        QTRY_COMPARE(text(w, "label_current"), QStringLiteral("Reached 1"));
        QCOMPARE(w.alarm_state, 2);
        button(w)->click();
    }

    // Chunks wait on the capture thread only while nothing needs them at once.
    void capturePaceFollowsWhatWaits()
    {
        REQUIRE_FAKE_CLOCK();
        WorkDir dir;
        writeConf(true);
        MainWindow w;
        const auto patience = [&w] { return w.capture->patience(); };
        tick(w, "2026-12-07 06:00:00");
        QCOMPARE(patience(), int(MainWindow::unseenPatienceMs));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(patience(), int(MainWindow::levelViewMs));
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button(w)->click();
        tick(w, "2026-12-07 06:00:01");
        QCOMPARE(patience(), int(MainWindow::levelViewMs));
        tick(w, "2026-12-07 07:28:50");
        QCOMPARE(patience(), 0);
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
        QCOMPARE(patience(), 0);
        button(w)->click();
        tick(w, "2026-12-07 07:30:01");
        QCOMPARE(patience(), int(MainWindow::levelViewMs));
        w.hide();
        QCOMPARE(patience(), int(MainWindow::unseenPatienceMs));
    }

    void captureHandsOverWholeAtItsPace_data()
    {
        QTest::addColumn<int>("patienceMs");
        // The thread woken for something else this often, or not at all.
        QTest::addColumn<int>("tickMs");
        // The bounds of the median time between two handovers.
        QTest::addColumn<int>("fewestMs");
        QTest::addColumn<int>("mostMs");
        QTest::newRow("each burst") << 0 << 0 << 0 << 100;
        QTest::newRow("gathered") << 300 << 0 << 270 << 500;
        QTest::newRow("taken along with other wake-ups") << 300 << 20 << 0 << 100;
    }

    void captureHandsOverWholeAtItsPace()
    {
        REQUIRE_SOUND_SERVER();
        QFETCH(int, patienceMs);
        QFETCH(int, tickMs);
        QFETCH(int, fewestMs);
        QFETCH(int, mostMs);
        QBuffer sink;
        sink.open(QIODevice::WriteOnly);
        AudioCapture capture;
        capture.setSink(&sink);
        capture.setPatience(patienceMs);
        const QAudioFormat format = pcmFormat(16, QAudioFormat::SignedInt);
        capture.findDevice(format);
        capture.start(format);
        QVector<qint64> gaps;
        QElapsedTimer clock;
        connect(&capture, &AudioCapture::delivered, this, [&] { gaps.append(clock.restart()); });
        QTRY_VERIFY_WITH_TIMEOUT(sink.size() > 0, 5000);

        QTimer ticker;
        if (tickMs > 0)
            ticker.start(tickMs);
        const qint64 before = sink.size();
        gaps.clear();
        clock.start();
        waitAsTheProgram(3000);
        // Every chunk arrives, give or take what one handover holds.
        const double seconds = double(sink.size() - before) / format.bytesForDuration(1000000);
        QVERIFY2(seconds > 2.5 && seconds < 3.5, qPrintable(QString::number(seconds)));
        std::sort(gaps.begin(), gaps.end());
        const qint64 median = gaps.value(gaps.size() / 2, -1);
        QVERIFY2(median >= fewestMs && median < mostMs, qPrintable(QString::number(median)));
    }

    void microphoneHearsTheRoom()
    {
        REQUIRE_FAKE_CLOCK();
        REQUIRE_SOUND_SERVER();
        WorkDir dir;
        writeConf(true);
        QVERIFY(runSox({ "-n", "-r", "8000", "-b", "16", "-c", "1", "hum.wav", "synth", "6", "sine",
            "100", "vol", "0.05" }));
        QVERIFY(makeClaps(QStringLiteral("claps.wav")));
        MainWindow w;
        w.show();
        QSignalSpy captured(w.findChild<AudioInfo *>(), &AudioInfo::update);
        QTRY_VERIFY_WITH_TIMEOUT(captured.count() > 3, 5000);

        // A quiet room while the room is measured.
        tick(w, "2026-12-07 07:29:50");
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button(w)->click();
        QProcess hum;
        hum.start(QStringLiteral("paplay"),
            { QStringLiteral("--device=room"), QStringLiteral("hum.wav") });
        QTRY_VERIFY_WITH_TIMEOUT(w.m_audioInfo->level() > 0.02, 5000);
        tick(w, "2026-12-07 07:29:56");
        QVERIFY(w.readLevel);
        QTRY_VERIFY_WITH_TIMEOUT(!w.readLevel, 5000);
        QVERIFY2(w.prevLevel > 0.03 && w.prevLevel < 0.1, qPrintable(QString::number(w.prevLevel)));
        QCOMPARE(w.maxLevel, 0.15);
        hum.waitForFinished();

        // Ringing; claps in the room during a pause stop it.
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 10000);
        QProcess claps;
        playInRoom(claps, QStringLiteral("claps.wav"));
        QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 0, 2000);
        QVERIFY(log().contains(QStringLiteral("alarm stopped by sound")));
        QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
        claps.waitForFinished();
    }
};

ALARM_TEST_MAIN(TestSoundLevel)
#include "tst_soundlevel.moc"
