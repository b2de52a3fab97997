#include "mainwindow.h"
#include "ownfile.h"
#include "preferences.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QSound>
#include <QStandardPaths>
#include <QTimeEdit>
#include <QtTest>

#include <unistd.h>

using namespace TestSupport;

namespace {
const QByteArray defaultContent("warning.wav\n12:00\n1\n1\n8\n1\n");
}

QStringList items(QComboBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->itemText(i));
    return texts;
}

class TestPreferences : public QObject {
    Q_OBJECT

private:
    template <typename T> T *widget(MainWindow &w, const char *name)
    {
        return w.findChild<T *>(QLatin1String(name));
    }

private slots:
    void init() { captureLog(); }

    // Another account planted links under the program's own names in a
    // shared working directory: neither the settings nor the set alarm is
    // written through them, the log says so once each, and the settings
    // still hold in memory.
    void linksAreNotWrittenThrough_data()
    {
        QTest::addColumn<bool>("dangling");
        QTest::newRow("to a file of the user's") << false;
        QTest::newRow("to nothing yet") << true;
    }

    void linksAreNotWrittenThrough()
    {
        QFETCH(bool, dangling);
        WorkDir dir;
        QTemporaryDir elsewhere;
        const QString target = elsewhere.path() + QStringLiteral("/victim");
        const QByteArray victim = "sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n";
        if (!dangling)
            writeFile(target, victim);
        QVERIFY(QFile::link(target, QStringLiteral("alarm.conf")));
        QVERIFY(QFile::link(target + QStringLiteral(".armed"), MainWindow::rememberedAlarmFile()));
        {
            preferences conf;
            conf.setTime(QStringLiteral("06:15:00"));
            conf.setSensitivityAccelerometer(3);
            QCOMPARE(conf.getTime(), QStringLiteral("06:15:00"));
            QCOMPARE(conf.getSensitivityAccelerometer(), 3);
        }
        {
            MainWindow w;
            // With no settings to read, the sound is asked for.
            if (dangling)
                answerChooser(QString());
            w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->click();
            QCOMPARE(w.alarm_state, 1);
        }
        QCOMPARE(QFile::exists(target), !dangling);
        if (!dangling)
            QCOMPARE(readFile(target), victim);
        QVERIFY(!QFile::exists(target + QStringLiteral(".armed")));
        QVERIFY(QFileInfo(QStringLiteral("alarm.conf")).isSymLink());
        // Said once a run for each name: the first row has said it.
        const int told = dangling ? 0 : 1;
        QCOMPARE(
            log().filter(QStringLiteral("Not writing alarm.conf: it is a symbolic link")).size(),
            told);
        QCOMPARE(
            log().filter(QStringLiteral("Not writing alarm.armed: it is a symbolic link")).size(),
            told);
    }

    // A link planted under one of the program's names after it looked is
    // replaced by the write, never followed; a link or another account's
    // file under such a name is not read, and the log says so once.
    void strangersFilesAreLeftAlone_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::newRow("link planted before the write") << QStringLiteral("write");
        QTest::newRow("link to a file of the user's") << QStringLiteral("link");
        QTest::newRow("another account's file") << QStringLiteral("stranger");
    }

    void strangersFilesAreLeftAlone()
    {
        QFETCH(QString, planted);
        WorkDir dir;
        const QString name = MainWindow::rememberedAlarmFile();
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.path() + QStringLiteral("/victim");
        writeFile(victim, "1796621400 07:30:00\n");
        QByteArray content;
        if (planted == QLatin1String("write")) {
            QVERIFY(QFile::link(victim, name));
            QVERIFY(OwnFile::replace(name, "1796625000 08:30:00\n"));
            QVERIFY(!QFileInfo(name).isSymLink());
            QCOMPARE(readFile(name), QByteArray("1796625000 08:30:00\n"));
        } else {
            if (planted == QLatin1String("link")) {
                QVERIFY(QFile::link(victim, name));
            } else {
                writeFile(name, "1796621400 07:30:00\n");
                REQUIRE_PREREQUISITE(
                    ::chown(QFile::encodeName(name).constData(), 65534, 65534) == 0,
                    "chown to another account (root)");
            }
            for (int round = 0; round < 2; ++round)
                QVERIFY(!OwnFile::read(name, 64, &content));
            QCOMPARE(content, QByteArray());
            QCOMPARE(log().filter(QStringLiteral("Not reading alarm.armed: ")).size(), 1);
        }
        QCOMPARE(readFile(victim), QByteArray("1796621400 07:30:00\n"));
    }

    void createsDefaultFileOnFirstStart()
    {
        WorkDir dir(false);
        {
            preferences conf;
            QCOMPARE(readFile(QStringLiteral("alarm.conf")), defaultContent);
            QCOMPARE(defaultContent.size(), 26);
            QCOMPARE(log(), QStringList({ "does not exist", "OK, created!" }));
            QCOMPARE(conf.getSoundFileName(), QStringLiteral("warning.wav"));
            QCOMPARE(conf.getTime(), QStringLiteral("12:00"));
            QVERIFY(conf.getStoppBySound());
            QVERIFY(conf.getStoppByAccelerometer());
            QVERIFY(conf.getStoppByOrientation());
            QCOMPARE(conf.getSensitivityAccelerometer(), 8);
        }
        log().clear();
        preferences again;
        QVERIFY(log().isEmpty());
        QCOMPARE(again.getSensitivityAccelerometer(), 8);
        QCOMPARE(again.get(6), QString());
        QCOMPARE(again.get(-1), QString());
    }

    void convertsBooleansAndSensitivity_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("on");
        QTest::addColumn<int>("number");
        QTest::newRow("one") << QByteArray("1") << true << 1;
        QTest::newRow("zero") << QByteArray("0") << false << 0;
        QTest::newRow("word") << QByteArray("true") << false << 0;
        QTest::newRow("leading space") << QByteArray(" 1") << false << 1;
        QTest::newRow("trailing space") << QByteArray("1 ") << false << 1;
        QTest::newRow("empty") << QByteArray("") << false << 0;
        QTest::newRow("ten") << QByteArray("10") << false << 10;
        QTest::newRow("letters") << QByteArray("abc") << false << 0;
    }

    void convertsBooleansAndSensitivity()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, on);
        QFETCH(int, number);
        WorkDir dir(false);
        writeFile(QStringLiteral("alarm.conf"),
            "a.wav\n07:00:00\n" + text + '\n' + text + '\n' + text + '\n' + text + '\n');
        preferences conf;
        QCOMPARE(conf.getStoppBySound(), on);
        QCOMPARE(conf.getStoppByAccelerometer(), on);
        QCOMPARE(conf.getStoppByOrientation(), on);
        QCOMPARE(conf.getSensitivityAccelerometer(), number);
        QCOMPARE(conf.get(4), QString::fromLatin1(text));
    }

    void readsCrLfAndSavesLineFeeds()
    {
        WorkDir dir(false);
        writeFile(QStringLiteral("alarm.conf"), "my sound.wav\r\n07:30:00\r\n0\r\n1\r\n3\r\n0\r\n");
        preferences conf;
        QCOMPARE(conf.getSoundFileName(), QStringLiteral("my sound.wav"));
        QCOMPARE(conf.getTime(), QStringLiteral("07:30:00"));
        QVERIFY(!conf.getStoppBySound());
        QVERIFY(conf.getStoppByAccelerometer());
        QCOMPARE(conf.getSensitivityAccelerometer(), 3);
        QVERIFY(!conf.getStoppByOrientation());
        conf.setSensitivityAccelerometer(10);
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            QByteArray("my sound.wav\n07:30:00\n0\n1\n10\n0\n"));
        conf.setStoppByOrientation(true);
        conf.setStoppBySound(true);
        conf.setStoppByAccelerometer(false);
        conf.setTime(QStringLiteral("06:15:00"));
        conf.setSoundFileName(QStringLiteral("/abs/ring.wav"));
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            QByteArray("/abs/ring.wav\n06:15:00\n1\n0\n10\n1\n"));
    }

    // Completing a short file must not switch on what its getters read as off.
    void shortFileIsCompletedOnSave()
    {
        WorkDir dir(false);
        writeFile(QStringLiteral("alarm.conf"), "x.wav\n08:00:00\n");
        preferences conf;
        QCOMPARE(conf.getTime(), QStringLiteral("08:00:00"));
        QCOMPARE(conf.get(2), QString());
        QVERIFY(!conf.getStoppBySound());
        QCOMPARE(conf.getSensitivityAccelerometer(), 0);
        conf.setStoppByOrientation(true);
        QCOMPARE(
            readFile(QStringLiteral("alarm.conf")), QByteArray("x.wav\n08:00:00\n0\n0\n0\n1\n"));
        QVERIFY(!conf.getStoppBySound());
        QVERIFY(!conf.getStoppByAccelerometer());
        QCOMPARE(conf.getSensitivityAccelerometer(), 0);
        QVERIFY(log().isEmpty());
    }

    // An empty settings file, then Set Alarm: the tab, the store and the file
    // go on telling the same.
    void emptyFileKeepsItsMeaningWhenSaved()
    {
        WorkDir dir;
        writeFile(QStringLiteral("alarm.conf"), QByteArray());
        MainWindow w;
        for (const char *box : { "stopBySound", "stopByShake", "stopByFlip" })
            QVERIFY(!widget<QCheckBox>(w, box)->isChecked());
        QCOMPARE(widget<QSlider>(w, "sensitivitySlider")->value(), 1);
        widget<QTimeEdit>(w, "selectedTime")->setTime(QTime(6, 30));
        answerChooser(QString()); // no file has the empty name, even in the music folder
        widget<QPushButton>(w, "bsetAlarm")->click();
        QCOMPARE(w.alarm_state, 1);
        const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        QCOMPARE(
            readFile(QStringLiteral("alarm.conf")), music.toUtf8() + "/\n06:30:00\n0\n0\n0\n0\n");
        QVERIFY(!w.conf.getStoppBySound() && !w.conf.getStoppByAccelerometer()
            && !w.conf.getStoppByOrientation());
        widget<QPushButton>(w, "resetButton")->click();
        for (const char *box : { "stopBySound", "stopByShake", "stopByFlip" })
            QVERIFY(!widget<QCheckBox>(w, box)->isChecked());
        QCOMPARE(widget<QSlider>(w, "sensitivitySlider")->value(), 1);
    }

    void longFileKeepsExtraLinesUntilSave()
    {
        WorkDir dir(false);
        writeFile(QStringLiteral("alarm.conf"), "a\nb\n1\n0\n5\n1\nseven\neight");
        preferences conf;
        QCOMPARE(conf.get(6), QStringLiteral("seven"));
        QCOMPARE(conf.get(7), QStringLiteral("eight"));
        QCOMPARE(conf.get(8), QString());
        conf.setSensitivityAccelerometer(6);
        QCOMPARE(readFile(QStringLiteral("alarm.conf")), QByteArray("a\nb\n1\n0\n6\n1\n"));
        QCOMPARE(conf.get(7), QStringLiteral("eight"));
        // Keys outside the store are never written.
        conf.set(9, QStringLiteral("nine"));
        conf.set(-1, QStringLiteral("minus"));
        QCOMPARE(conf.get(9), QString());
        QCOMPARE(readFile(QStringLiteral("alarm.conf")), QByteArray("a\nb\n1\n0\n6\n1\n"));
    }

    void failedSaveKeepsOldFileAndMemory()
    {
        // A directory in the file's place cannot be replaced, even by root.
        WorkDir dir(false);
        QVERIFY(QDir().mkdir(QStringLiteral("alarm.conf")));
        preferences conf;
        QVERIFY(log().isEmpty());
        QCOMPARE(conf.getSoundFileName(), QString());
        conf.setSensitivityAccelerometer(4);
        QCOMPARE(conf.getSensitivityAccelerometer(), 4);
        QCOMPARE(conf.getSoundFileName(), QString());
        QVERIFY(!conf.getStoppBySound());
        QVERIFY(QFileInfo(QStringLiteral("alarm.conf")).isDir());
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(log().isEmpty());
    }

    void settingsTabShowsDefaults()
    {
        WorkDir dir;
        MainWindow w;
        auto *list = widget<QComboBox>(w, "soundComboBox");
        QCOMPARE(
            items(list), QStringList({ "sounds/ringin.wav", "sounds/warning.wav", "warning.wav" }));
        QCOMPARE(list->currentIndex(), 2);
        QVERIFY(log().filter(QStringLiteral("current combobox item")).isEmpty());
        QVERIFY(widget<QCheckBox>(w, "stopBySound")->isChecked());
        QVERIFY(widget<QCheckBox>(w, "stopByShake")->isChecked());
        QVERIFY(widget<QCheckBox>(w, "stopByFlip")->isChecked());
        QCOMPARE(widget<QSlider>(w, "sensitivitySlider")->value(), 8);
        QCOMPARE(widget<QLabel>(w, "sensitivityLabel")->text(), QStringLiteral("8"));
        QCOMPARE(widget<QTimeEdit>(w, "selectedTime")->time(), QTime(12, 0));
        for (const char *hidden : { "testLabel", "label_trigger", "label_current" })
            QVERIFY(widget<QLabel>(w, hidden)->isHidden());
    }

    void settingsTabShowsStoredValues_data()
    {
        QTest::addColumn<QByteArray>("sensitivity");
        QTest::addColumn<int>("shown");
        QTest::newRow("lowest") << QByteArray("1") << 1;
        QTest::newRow("highest") << QByteArray("10") << 10;
        QTest::newRow("zero") << QByteArray("0") << 1;
        QTest::newRow("too high") << QByteArray("15") << 10;
        QTest::newRow("letters") << QByteArray("x") << 1;
    }

    void settingsTabShowsStoredValues()
    {
        QFETCH(QByteArray, sensitivity);
        QFETCH(int, shown);
        WorkDir dir;
        writeFile(QStringLiteral("alarm.conf"),
            "sounds/warning.wav\n06:45:00\n0\n1\n" + sensitivity + "\n0\n");
        MainWindow w;
        auto *list = widget<QComboBox>(w, "soundComboBox");
        QCOMPARE(items(list), QStringList({ "sounds/ringin.wav", "sounds/warning.wav" }));
        QCOMPARE(list->currentIndex(), 1);
        QCOMPARE(log().filter(QStringLiteral("current combobox item")),
            QStringList({ "\"current combobox item: sounds/warning.wav\"" }));
        QCOMPARE(widget<QTimeEdit>(w, "selectedTime")->time(), QTime(6, 45));
        QVERIFY(!widget<QCheckBox>(w, "stopBySound")->isChecked());
        QVERIFY(widget<QCheckBox>(w, "stopByShake")->isChecked());
        QVERIFY(!widget<QCheckBox>(w, "stopByFlip")->isChecked());
        QCOMPARE(widget<QSlider>(w, "sensitivitySlider")->value(), shown);
        QCOMPARE(widget<QLabel>(w, "sensitivityLabel")->text(), QString::number(shown));
    }

    void resetDiscardsAndApplyStores()
    {
        WorkDir dir;
        writeFile(QStringLiteral("alarm.conf"), "sounds/warning.wav\n06:45:00\n1\n1\n8\n1\n");
        MainWindow w;
        auto *flip = widget<QCheckBox>(w, "stopByFlip");
        auto *slider = widget<QSlider>(w, "sensitivitySlider");
        auto *list = widget<QComboBox>(w, "soundComboBox");
        flip->setChecked(false);
        slider->setValue(3);
        list->setCurrentIndex(0);
        widget<QPushButton>(w, "resetButton")->click();
        QVERIFY(flip->isChecked());
        QCOMPARE(slider->value(), 8);
        QCOMPARE(list->currentIndex(), 1);
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            QByteArray("sounds/warning.wav\n06:45:00\n1\n1\n8\n1\n"));

        flip->setChecked(false);
        slider->setValue(3);
        list->setCurrentIndex(0);
        widget<QPushButton>(w, "applyButton")->click();
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            QByteArray("sounds/ringin.wav\n06:45:00\n1\n1\n3\n0\n"));
        QCOMPARE(w.soundObject->fileName(), QStringLiteral("sounds/ringin.wav"));
    }

    void lastMatchingSoundWins()
    {
        WorkDir dir;
        const QString chosen = dir.path() + QStringLiteral("/chosen.wav");
        writeFile(QStringLiteral("alarm.conf"), chosen.toUtf8() + "\n06:45:00\n1\n1\n8\n1\n");
        MainWindow w;
        auto *list = widget<QComboBox>(w, "soundComboBox");
        QCOMPARE(list->currentText(), chosen);

        // The file is missing: Apply asks for one, and the same one twice.
        for (int round = 0; round < 2; ++round) {
            QFile::remove(chosen);
            answerChooser(chosen);
            QTimer::singleShot(
                0, [chosen] { writeFile(chosen, readFile(QStringLiteral("sounds/ringin.wav"))); });
            widget<QPushButton>(w, "applyButton")->click();
        }
        QCOMPARE(items(list).count(chosen), 3);
        QCOMPARE(list->currentIndex(), 4);
        list->setCurrentIndex(0);
        widget<QPushButton>(w, "resetButton")->click();
        QCOMPARE(list->currentIndex(), 4);
        QCOMPARE(readFile(QStringLiteral("alarm.conf")).split('\n').first(), chosen.toUtf8());
    }

    void lineBreaksInValuesKeepSixLines()
    {
        WorkDir dir(false);
        preferences conf;
        conf.setSoundFileName(QStringLiteral("/music/two\nlines\r.wav"));
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            QByteArray("/music/two lines .wav\n12:00\n1\n1\n8\n1\n"));
        preferences again;
        QCOMPARE(again.getTime(), QStringLiteral("12:00"));
        QCOMPARE(again.get(6), QString());
    }

    void unwritableFileOrDirectory_data()
    {
        QTest::addColumn<bool>("wholeDirectory");
        QTest::newRow("file") << false;
        QTest::newRow("directory") << true;
    }

    // Read-only permissions do not stop root, the immutable flag does. An
    // unwritable file keeps its old bytes; a writable file in a directory
    // where nothing can be created still takes the settings.
    void unwritableFileOrDirectory()
    {
        QFETCH(bool, wholeDirectory);
        WorkDir dir(false);
        const QByteArray old("old.wav\n07:00:00\n0\n0\n3\n0\n");
        writeFile(QStringLiteral("alarm.conf"), old);
        const QString target
            = wholeDirectory ? dir.path() : dir.path() + QStringLiteral("/alarm.conf");
        REQUIRE_PREREQUISITE(
            QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), target }) == 0,
            "chattr +i (root, on a file system with file attributes)");
        {
            preferences conf;
            conf.setSensitivityAccelerometer(9);
            conf.setSoundFileName(QStringLiteral("new.wav"));
            QCOMPARE(conf.getSensitivityAccelerometer(), 9);
            QCOMPARE(conf.getSoundFileName(), QStringLiteral("new.wav"));
        }
        QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), target });
        QCOMPARE(readFile(QStringLiteral("alarm.conf")),
            wholeDirectory ? QByteArray("new.wav\n07:00:00\n0\n0\n9\n0\n") : old);
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList({ "alarm.conf" }));
        QVERIFY(log().isEmpty());
    }

    void killedSaveNeverLeavesPartialFile()
    {
        WorkDir dir(false);
        preferences conf;
        for (int round = 0; round < 8; ++round) {
            QProcess saver;
            saver.setWorkingDirectory(dir.path());
            saver.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--saver") });
            QVERIFY(saver.waitForReadyRead(5000));
            QTest::qWait(20 + 7 * round);
            saver.kill();
            saver.waitForFinished();
            const QList<QByteArray> lines = readFile(QStringLiteral("alarm.conf")).split('\n');
            QCOMPARE(lines.size(), 7);
            QVERIFY(lines.last().isEmpty());
            QVERIFY(lines.first() == "warning.wav"
                || (lines.first().startsWith("sound-") && lines.first().size() == 200006));
            QCOMPARE(lines.at(1), QByteArray("12:00"));
        }
    }
};

// Saves over and over until killed, for the interrupted-save test.
static int runSaver()
{
    preferences conf;
    fputs("saving\n", stdout);
    fflush(stdout);
    for (int i = 0;; ++i)
        conf.setSoundFileName(
            QStringLiteral("sound-") + QString(200000, QLatin1Char('a' + i % 26)));
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--saver") == 0) {
        QCoreApplication app(argc, argv);
        return runSaver();
    }
    QApplication app(argc, argv);
    TestPreferences test;
    return runTests(test, argc, argv);
}

#include "tst_preferences.moc"
