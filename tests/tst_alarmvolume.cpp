// The alarm is heard however the phone's volume was left for the night:
// the built program on the virtual phone, its speaker muted or turned down
// with the sound server's own tools, heard at the speaker's monitor.

#include "phone.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

using namespace Phone;
using namespace TestSupport;

namespace {

const QByteArray ringinConf("sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");

// The speaker's mute and its volume in percent, as "yes 5".
QString speakerState()
{
    const QString mute = run(QStringLiteral("pactl"), { "get-sink-mute", "speaker" })
                             .section(QLatin1Char(' '), 1)
                             .trimmed();
    const QString volume = run(QStringLiteral("pactl"), { "get-sink-volume", "speaker" })
                               .section(QLatin1Char('/'), 1, 1)
                               .remove(QLatin1Char('%'))
                               .trimmed();
    return mute + QLatin1Char(' ') + volume;
}

void setSpeaker(const QString &mute, const QString &volume)
{
    run(QStringLiteral("pactl"), { "set-sink-mute", "speaker", mute == "yes" ? "1" : "0" });
    run(QStringLiteral("pactl"), { "set-sink-volume", "speaker", volume + QLatin1Char('%') });
}

// The program's playing stream, as "index role". PipeWire lists the
// stream's properties in another order than PulseAudio.
QString streamOf(const Program &program)
{
    const QString ours
        = QStringLiteral("application.process.id = \"%1\"").arg(program.process.processId());
    const QStringList streams = run(QStringLiteral("pactl"), { "list", "sink-inputs" })
                                    .split(QStringLiteral("Sink Input #"));
    for (const QString &stream : streams) {
        if (!stream.contains(ours))
            continue;
        const int role = stream.indexOf(QLatin1String("media.role = \""));
        if (role >= 0)
            return stream.section(QLatin1Char('\n'), 0, 0).trimmed() + QLatin1Char(' ')
                + stream.mid(role + 14).section(QLatin1Char('"'), 0, 0);
    }
    return QString();
}

} // namespace

class TestAlarmVolume : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { REQUIRE_VIRTUAL_PHONE(); }

    void cleanup() { setSpeaker("no", "100"); }

    void heardWhateverTheVolume_data()
    {
        QTest::addColumn<QString>("mute");
        QTest::addColumn<QString>("volume");
        // What the speaker holds while it rings, and what the user does then.
        QTest::addColumn<QString>("ringing");
        QTest::addColumn<QString>("userSets");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("streamMuted");
        // How the ringing ends: the button, a crash and a start (SIGKILL),
        // or the service manager's stop (SIGTERM).
        QTest::addColumn<int>("ending");
        QTest::newRow("speaker muted") << "yes"
                                       << "80"
                                       << "no 80"
                                       << ""
                                       << "yes 80" << false << 0;
        QTest::newRow("speaker at 5 %") << "no"
                                        << "5"
                                        << "no 70"
                                        << ""
                                        << "no 5" << false << 0;
        QTest::newRow("louder volume kept") << "no"
                                            << "90"
                                            << "no 90"
                                            << ""
                                            << "no 90" << false << 0;
        QTest::newRow("own stream muted") << "no"
                                          << "100"
                                          << "no 100"
                                          << ""
                                          << "no 100" << true << 0;
        QTest::newRow("user turns it up while it rings") << "no"
                                                         << "5"
                                                         << "no 70"
                                                         << "85"
                                                         << "no 85" << false << 0;
        QTest::newRow("crash while ringing, then a start") << "yes"
                                                           << "5"
                                                           << "no 70"
                                                           << ""
                                                           << "yes 5" << false << SIGKILL;
        QTest::newRow("turned up while ringing, a crash, then a start")
            << "yes"
            << "5"
            << "no 70"
            << "85"
            << "yes 85" << false << SIGKILL;
        QTest::newRow("stopped by the service manager while ringing")
            << "yes"
            << "5"
            << "no 70"
            << ""
            << "yes 5" << false << SIGTERM;
    }

    void heardWhateverTheVolume()
    {
        QFETCH(QString, mute);
        QFETCH(QString, volume);
        QFETCH(QString, ringing);
        QFETCH(QString, userSets);
        QFETCH(QString, after);
        QFETCH(bool, streamMuted);
        QFETCH(int, ending);
        setSpeaker(mute, volume);
        Program program(ringinConf);
        QVERIFY(program.start());
        program.clickButton();
        program.setClock("@2026-12-07 07:29:55");
        if (streamMuted) {
            // The server gives an application's next stream the volume it
            // had last: the stream the alarm will play on, turned off.
            QTRY_VERIFY_WITH_TIMEOUT(!streamOf(program).isEmpty(), 5000);
            const QString stream = streamOf(program).section(QLatin1Char(' '), 0, 0);
            run(QStringLiteral("pactl"), { "set-sink-input-mute", stream, "1" });
            run(QStringLiteral("pactl"), { "set-sink-input-volume", stream, "0%" });
        }
        Speaker speaker;
        speaker.start();
        const double heard = speaker.waitForLoud(0.1, 15000);
        QVERIFY2(heard > 0.1, qPrintable(QString::number(heard)));
        QCOMPARE(streamOf(program).section(QLatin1Char(' '), 1), QStringLiteral("alarm"));
        QCOMPARE(speakerState(), ringing);
        QVERIFY(program.log().filter(QStringLiteral("Alarm volume: ")).size()
            == (ringing == mute + ' ' + volume ? 0 : 1));
        if (!userSets.isEmpty())
            setSpeaker("no", userSets);

        if (ending == SIGKILL) {
            QTest::qWait(500);
            ::kill(pid_t(program.process.processId()), SIGKILL);
            QVERIFY(program.process.waitForFinished(3000));
            QCOMPARE(speakerState(), userSets.isEmpty() ? ringing : "no " + userSets);
            QFile::remove(program.file(QStringLiteral("alarm.armed")));
            QVERIFY(program.start());
        } else if (ending == SIGTERM) {
            ::kill(pid_t(program.process.processId()), SIGTERM);
            QVERIFY(program.process.waitForFinished(3000));
        } else {
            program.clickButton();
        }
        QVERIFY(program.waitForLog(QStringLiteral("Output volume restored"), 3000)
            || ringing == mute + ' ' + volume);
        QCOMPARE(speakerState(), after);
        QVERIFY(!QFile::exists(program.file(QStringLiteral("alarm.volume"))));
    }

    // The sound server is away at the alarm's moment, from 2 s before it to
    // 4 s after, and comes back with the speaker muted as it was left for
    // the night: the alarm is heard at the alarm volume within a play of
    // its return, and the speaker is muted again after the stop.
    void heardWhenTheSoundServerComesBack()
    {
        setSpeaker("yes", "50");
        Program program(ringinConf, "@2026-12-07 07:29:48");
        QVERIFY(program.start());
        program.clickButton();
        QVERIFY(program.waitForLog(QStringLiteral("\"Initial Orientation: 5\""), 12000));
        QTest::qWait(2000);
        QCOMPARE(
            QProcess::execute(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/scripts/virtual-phone.sh"),
                { "restart-server", qEnvironmentVariable("PHONE_STATE"), "6" }),
            0);
        QCOMPARE(speakerState(), QStringLiteral("yes 50"));
        Speaker speaker;
        speaker.start();
        const double heard = speaker.waitForLoud(0.1, 10000);
        QVERIFY2(heard > 0.1, qPrintable(QString::number(heard)));
        QCOMPARE(speakerState(), QStringLiteral("no 70"));
        program.clickButton();
        QVERIFY(program.waitForLog(QStringLiteral("Output volume restored"), 3000));
        QCOMPARE(speakerState(), QStringLiteral("yes 50"));
    }

    // The alarm is stopped while the sound server is away: the user's mute
    // and volume are given back once it is back (it comes back with the
    // alarm's, as it stored them).
    void givenBackWhenTheSoundServerComesBack()
    {
        setSpeaker("yes", "5");
        Program program(ringinConf, "@2026-12-07 07:29:55");
        QVERIFY(program.start());
        program.clickButton();
        Speaker speaker;
        speaker.start();
        QVERIFY(speaker.waitForLoud(0.1, 15000) > 0.1);
        QCOMPARE(speakerState(), QStringLiteral("no 70"));
        QProcess restart;
        restart.start(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/scripts/virtual-phone.sh"),
            { "restart-server", qEnvironmentVariable("PHONE_STATE"), "4" });
        QTRY_VERIFY(
            program.log().contains(QStringLiteral("Alarm volume: the sound server did not answer; "
                                                  "the output's volume is left as it is")));
        program.clickButton();
        QVERIFY(restart.waitForFinished(30000));
        QCOMPARE(restart.exitCode(), 0);
        QVERIFY(program.waitForLog(QStringLiteral("Output volume restored"), 10000));
        QCOMPARE(speakerState(), QStringLiteral("yes 5"));
        QVERIFY(!QFile::exists(program.file(QStringLiteral("alarm.volume"))));
    }

    // Headphones nobody wears: the alarm plays there first, its microphone
    // hears nothing of it, and after two such plays it plays on the
    // loudspeaker, which the room hears.
    void unheardOnHeadphonesMovesToTheLoudspeaker()
    {
        const QString module = run(QStringLiteral("pactl"),
            { "load-module", "module-null-sink", "sink_name=headphones",
                "sink_properties=device.form_factor=headphone" })
                                   .trimmed();
        run(QStringLiteral("pactl"), { "set-default-sink", "headphones" });
        Program program(ringinConf, "@2026-12-07 07:29:55");
        // Named for the program's streams too: a server that remembers where
        // alarms played last (WirePlumber does) would send them elsewhere.
        program.env.insert(QStringLiteral("PULSE_SINK"), QStringLiteral("headphones"));
        QVERIFY(program.start());
        program.clickButton();
        Speaker speaker;
        speaker.start();
        const double heard = speaker.waitForLoud(0.3, 25000);
        run(QStringLiteral("pactl"), { "set-default-sink", "speaker" });
        run(QStringLiteral("pactl"), { "unload-module", module });
        QVERIFY2(heard > 0.3, qPrintable(QString::number(heard)));
        QVERIFY(program.log().contains(
            QStringLiteral("The alarm was not heard: it plays on the loudspeaker speaker now")));
        program.clickButton();
    }

    // A chosen sound too quiet to hear over the room: after the loudspeaker
    // step, which finds nothing worn here, the built-in sound rings.
    void tooQuietSoundGivesWayToTheBuiltInOne()
    {
        Program program("quiet.wav\n07:30:00\n1\n1\n8\n1\n", "@2026-12-07 07:29:55");
        QVERIFY(makeTone(program.file(QStringLiteral("quiet.wav")), QStringLiteral("1"),
            QStringLiteral("700"), QStringLiteral("0.002")));
        QVERIFY(program.start());
        program.clickButton();
        Speaker speaker;
        speaker.start();
        const double heard = speaker.waitForLoud(0.3, 30000);
        QVERIFY2(heard > 0.3, qPrintable(QString::number(heard)));
        QVERIFY(program.log().contains(
            QStringLiteral("The alarm was not heard: it rings with the built-in sound now")));
        program.clickButton();
    }
};

ALARM_TEST_MAIN(TestAlarmVolume)
#include "tst_alarmvolume.moc"
