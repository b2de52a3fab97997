// The built program on the virtual phone, worked from outside as a person
// would: clicks on its window, sounds in the room, the accelerometer file,
// and what the speaker, the log and alarm.conf show.

#include "phone.h"
#include "testsupport.h"
#include "wavefile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

using namespace Phone;
using namespace TestSupport;

namespace {

const QByteArray ringinConf("sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    QString reference;

    // Starts the program, arms it for 07:30, and waits for the ringing to be
    // heard on the speaker.
    void armAndRing(Program &program, Speaker &speaker, const QString &runName)
    {
        QVERIFY(program.start());
        // The button as it reads "Set Alarm" with the pointer on it and the
        // focus in it, for comparing after the alarm has been stopped.
        program.clickButton();
        program.clickButton();
        reference = program.screenshot(runName + QStringLiteral("-before"));
        program.clickButton();
        // Armed: the room is measured a second from now.
        program.setClock("@2026-12-07 07:29:55");
        QVERIFY(program.waitForLog(QStringLiteral("\"Initial Orientation: 5\""), 9000));
        speaker.start();
        const double loudest = speaker.waitForLoud(0.3, 8000);
        QVERIFY2(loudest > 0.3,
            qPrintable(QStringLiteral("the speaker never carried the alarm: loudest %1 in %2 s "
                                      "recorded")
                           .arg(loudest)
                           .arg(speaker.peaks().size() / 10.0)));
    }

    // After a stop: the speaker stays silent, through the time a pause
    // and a play would take, and the button reads "Set Alarm".
    void verifyStopped(Program &program, Speaker &speaker, const QString &runName)
    {
        const int from = speaker.peaks().size() + 3;
        QTest::qWait(4500);
        QVERIFY2(loudest(speaker.peaks(), from) < 0.01,
            "the speaker still carries sound after the stop");
        if (!runName.isEmpty())
            QVERIFY(sameImage(program.screenshot(runName), reference));
    }

private slots:
    void initTestCase() { REQUIRE_VIRTUAL_PHONE(); }

    void firstStartCreatesSettings()
    {
        Program program(QByteArray {});
        QVERIFY(program.start());
        program.screenshot(QStringLiteral("first-start"));
        QCOMPARE(readFile(program.file(QStringLiteral("alarm.conf"))),
            QByteArray("warning.wav\n12:00\n1\n1\n8\n1\n"));
        const QStringList log = program.log();
        QVERIFY(log.indexOf(QStringLiteral("does not exist")) >= 0);
        QVERIFY(log.indexOf(QStringLiteral("does not exist"))
            < log.indexOf(QStringLiteral("OK, created!")));
    }

    // Started where no sounds lie, as an installed program may be, with the
    // settings of a first start: the chooser is cancelled, and the alarm
    // still rings, with the sound built into the program.
    void firstAlarmFromEmptyDirectory()
    {
        Program program(QByteArray {}, "@2026-12-07 11:59:50", false);
        QVERIFY(program.start());
        hearFirstAlarm(program, QStringLiteral("empty-directory-ringing"));
    }

    // A microphone that takes seconds to open, as one waking from its power
    // saving may (here: the whole sound server answers nothing for a time):
    // the window is on the screen before the program has opened it.
    void windowComesBeforeTheMicrophone()
    {
        const QByteArray server
            = readFile(qEnvironmentVariable("PHONE_STATE") + QStringLiteral("/sound-server.pid"))
                  .trimmed();
        QVERIFY(server.toLongLong() > 0);
        Program program(ringinConf);
        QProcess::execute(QStringLiteral("kill"), { "-STOP", QString::fromLatin1(server) });
        // The server answers again after a while, whatever happens here.
        QProcess::startDetached(
            QStringLiteral("sh"), { "-c", "sleep 6; kill -CONT " + QString::fromLatin1(server) });
        const bool shown = program.start();
        const QStringList logWhenShown = program.log();
        QProcess::execute(QStringLiteral("kill"), { "-CONT", QString::fromLatin1(server) });
        QVERIFY(shown);
        QVERIFY2(!logWhenShown.contains(QStringLiteral("input")),
            qPrintable(logWhenShown.join(QLatin1Char('\n'))));
        // Nor does it wait for GL drivers it never draws with.
        const QByteArray maps
            = readFile(QStringLiteral("/proc/%1/maps").arg(program.process.processId()));
        QVERIFY(!maps.contains("libGLX_mesa") && !maps.contains("_dri.so"));
        QVERIFY(program.waitForLog(QStringLiteral("input"), 10000));
        QVERIFY(logHasInOrder(program.log(), { "INFO", "input" }));
    }

    void ringsPausesAndStopsByButton()
    {
        Program program(ringinConf);
        Speaker speaker;
        armAndRing(program, speaker, QStringLiteral("button"));
        QCOMPARE(readFile(program.file(QStringLiteral("alarm.conf"))), ringinConf);

        QElapsedTimer waited;
        waited.start();
        bool pausedThenRangAgain = false;
        while (!pausedThenRangAgain && waited.elapsed() < 12000) {
            QTest::qWait(100);
            // Sound, then at least 1.2 s of silence, then sound again.
            int stage = 0;
            int silent = 0;
            for (double peak : speaker.peaks()) {
                silent = peak < 0.01 ? silent + 1 : 0;
                if (stage == 0 && peak > 0.3)
                    stage = 1;
                else if (stage == 1 && silent >= 12)
                    stage = 2;
                else if (stage == 2 && peak > 0.3)
                    stage = 3;
            }
            pausedThenRangAgain = stage == 3;
        }
        QVERIFY2(pausedThenRangAgain, "no pause followed by a second ring was heard");
        program.screenshot(QStringLiteral("button-ringing"));
        program.clickButton();
        verifyStopped(program, speaker, QStringLiteral("button-stopped"));
    }

    void ownSoundAndTheRoom_data()
    {
        QTest::addColumn<int>("echo");
        QTest::addColumn<QString>("sound");
        QTest::addColumn<QString>("person");
        QTest::addColumn<bool>("calibrated");
        // ctest runs each echo delay as an entry of its own (ALARMCLOCK_ECHOES).
        const QStringList only = qEnvironmentVariable("ALARMCLOCK_ECHOES").split(
            QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const int echo : { 60, 200, 400 }) {
            if (!only.isEmpty() && !only.contains(QString::number(echo)))
                continue;
            QTest::addRow("ringing sound, claps, echo %d ms", echo) << echo << "sounds/ringin.wav"
                                                                    << "claps" << true;
            QTest::addRow("warning sound, a shout, echo %d ms", echo)
                << echo << "sounds/warning.wav"
                << "shout" << true;
            QTest::addRow("tone, a shout, echo %d ms", echo) << echo << "tone.wav"
                                                             << "shout" << true;
            QTest::addRow("beep, gap, short beep, claps, echo %d ms", echo) << echo << "gap.wav"
                                                                            << "claps" << true;
            QTest::addRow("no calibration, claps in the second pause, echo %d ms", echo)
                << echo << "sounds/ringin.wav"
                << "claps" << false;
        }
    }

    // The phone hears its own speaker, as late as its echo path makes it:
    // through three plays the alarm does not take its own sound for a
    // person (one that rang without measuring the room first measures it in
    // its first pause). Then a person stops it: claps in a pause, or a shout
    // that begins in the last half second of a play and goes on into the
    // pause, which stops it within the echo delay and 300 ms of the pause.
    void ownSoundAndTheRoom()
    {
        QFETCH(int, echo);
        QFETCH(QString, sound);
        QFETCH(QString, person);
        QFETCH(bool, calibrated);
        setEcho(echo);
        const auto restoreEcho
            = qScopeGuard([] { setEcho(qEnvironmentVariableIntValue("PHONE_ECHO_MS")); });
        Program program(sound.toUtf8() + "\n07:30:00\n1\n1\n8\n1\n", "@2026-12-07 07:29:40");
        QVERIFY(makeTone(program.file(QStringLiteral("tone.wav")), QStringLiteral("1.5"),
            QStringLiteral("440"), QStringLiteral("0.8")));
        QVERIFY(runSox({ "-n", "-r", "8000", "-b", "16", "-c", "1", program.file("gap.wav"),
            "synth", "0.8", "sine", "440", "vol", "0.8", ":", "synth", "0.15", "sine", "440", "vol",
            "0", ":", "synth", "0.1", "sine", "440", "vol", "0.8" }));
        QVERIFY(makeClaps(program.file(QStringLiteral("claps.wav"))));
        QVERIFY(makeTone(program.file(QStringLiteral("shout.wav")), QStringLiteral("2"),
            QStringLiteral("700"), QStringLiteral("0.9")));
        QVERIFY(program.start());
        program.clickButton();
        // The phone sleeps through the calibration moment, or the room is
        // measured a second from now.
        program.setClock(calibrated ? "@2026-12-07 07:29:55" : "@2026-12-07 07:30:01");
        Speaker speaker;
        speaker.start();
        // The microphone's own view, where the room hums: the plays' echoes.
        Speaker microphone(QStringLiteral("room.monitor"));
        microphone.start();
        auto echoStarted = [&](int nth) { return microphone.soundStartedMs(nth, 9800, 1600); };
        const QString stopped = QStringLiteral("alarm stopped by sound");
        const int playsBefore = calibrated ? 3 : 1;
        QElapsedTimer ringing;
        ringing.start();
        qint64 heard = -1;
        while ((heard = echoStarted(playsBefore + 1)) < 0 && ringing.elapsed() < 40000
            && !program.log().contains(stopped))
            QTest::qWait(10);
        QVERIFY2(!program.log().contains(stopped), "the alarm stopped itself");
        QVERIFY(heard >= 0);
        if (!calibrated)
            QVERIFY(
                program.log().contains(QStringLiteral("Measuring the room in the first pause: the "
                                                      "alarm rang without measuring it first")));

        // The last play ends at the microphone a play's length after its
        // echo began there, and at the speaker an echo delay sooner.
        const qint64 endHeard = heard + WaveFile(program.file(sound)).duration();
        QProcess voice;
        if (person == QLatin1String("claps")) {
            while (microphone.clock.elapsed() < endHeard + 200)
                QTest::qWait(5);
            playInRoom(voice, program.file(QStringLiteral("claps.wav")));
            QVERIFY(program.waitForLog(stopped, 1500));
        } else {
            // The shout begins half a second before the play's end.
            while (microphone.clock.elapsed() < endHeard - echo - 500)
                QTest::qWait(5);
            playInRoom(voice, program.file(QStringLiteral("shout.wav")));
            QVERIFY(program.waitForLog(stopped, 4000));
            const qint64 after = microphone.clock.elapsed() - (endHeard - echo);
            qInfo("echo %d ms: stopped %lld ms after the pause began", echo, after);
            QVERIFY2(after <= echo + 300, qPrintable(QString::number(after)));
        }
        voice.waitForFinished();
        verifyStopped(program, speaker, QString());
    }

    void stopsByMotion_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<QByteArray>("axes");
        QTest::addColumn<bool>("iio");
        QTest::newRow("shake") << "shake" << QByteArray("-60,0,-9.8") << false;
        QTest::newRow("flip") << "flip" << QByteArray("0,0,9.8") << false;
        QTest::newRow("shake, IIO device") << "shake" << QByteArray("-60,0,-9.8") << true;
        QTest::newRow("flip, IIO device") << "flip" << QByteArray("0,0,9.8") << true;
    }

    void stopsByMotion()
    {
        QFETCH(QString, run);
        QFETCH(QByteArray, axes);
        QFETCH(bool, iio);
        Program program(ringinConf);
        if (iio) {
            program.useIioAccelerometer();
            run += QStringLiteral("-iio");
        }
        Speaker speaker;
        armAndRing(program, speaker, run);
        program.lie(axes);
        QVERIFY(
            program.waitForLog(QStringLiteral("alarm stopped by ") + run.section('-', 0, 0), 3000));
        verifyStopped(program, speaker, run + QStringLiteral("-stopped"));
    }

    // Without the permission to wake the phone from suspend, the program
    // says so once, plainly, and the alarm rings all the same.
    void ringsWithoutWakePermission()
    {
        Program program(ringinConf);
        program.arguments = QStringList { "--bounding-set=-wake_alarm", "--inh-caps=-wake_alarm",
            program.command };
        program.command = QStringLiteral("setpriv");
        Speaker speaker;
        armAndRing(program, speaker, QStringLiteral("no-wake"));
        const QStringList said = program.log().filter(
            QStringLiteral("The phone will not be woken from suspend for this alarm: "));
        QVERIFY2(said.size() == 1, qPrintable(said.join(QLatin1Char(10))));
        QVERIFY2(said.first().contains(QLatin1String("CAP_WAKE_ALARM")), qPrintable(said.first()));
        program.clickButton();
    }

    void vanishedSoundRingsWarning()
    {
        Program program("mine.wav\n07:30:00\n1\n1\n8\n1\n");
        QVERIFY(makeTone(program.file(QStringLiteral("mine.wav")), QStringLiteral("1"),
            QStringLiteral("440"), QStringLiteral("0.3")));
        QVERIFY(program.start());
        program.clickButton();
        QVERIFY(program.waitForLog(QStringLiteral("\"Initial Orientation: 5\""), 9000));
        QFile::remove(program.file(QStringLiteral("mine.wav")));
        Speaker speaker;
        speaker.start();
        QTest::qWait(6500);
        program.screenshot(QStringLiteral("vanished-ringing"));
        // The built-in warning sound is far louder than the vanished tone.
        QVERIFY2(
            loudest(speaker.peaks()) > 0.6, qPrintable(QString::number(loudest(speaker.peaks()))));
        QVERIFY(run(QStringLiteral("xdotool"), { "search", "--name", "^Open File$" }).isEmpty());
        program.clickButton();
    }
};

ALARM_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
