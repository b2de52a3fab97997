#include "mainwindow.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTimeEdit>
#include <QtTest>

using namespace TestSupport;

class TestShell : public QObject {
    Q_OBJECT

private slots:
    void init() { captureLog(); }

    void opensWithoutSettingsFile()
    {
        WorkDir dir;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(
            readFile(QStringLiteral("alarm.conf")), QByteArray("warning.wav\n12:00\n1\n1\n8\n1\n"));
        // The microphone is opened while the window shows.
        QTRY_VERIFY(logHasInOrder({ "does not exist", "OK, created!", "INFO", "input" }));
        QCOMPARE(log().count(QStringLiteral("does not exist")), 1);
        // No motion hardware here: said once, and everything else works.
        QCOMPARE(log().count(QStringLiteral("Stop by shaking and by turning over are unavailable: "
                                            "this device has no motion sensors")),
            1);

        QCOMPARE(w.alarm_state, 0);
        QVERIFY(!w.soundObject);
        QCOMPARE(w.maxLevel, 2.0);
        QCOMPARE(w.prevLevel, 0.0);
        QVERIFY(!w.readLevel);
        QCOMPARE(w.time_from_start, 2.0f);
        QVERIFY(w.alarmTime.isEmpty());
        QVERIFY(w.recordTime.isEmpty());
        QCOMPARE(w.findChildren<AudioInfo *>().size(), 1);
    }

    // A clock tick repaints the clock, not the window around it; the clock
    // still takes the room its layout gives it when the window grows.
    void clockTickRepaintsOnlyTheClock()
    {
        WorkDir dir;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *clock = w.findChild<QLabel *>(QStringLiteral("timeLabel"));
        QTRY_VERIFY(clock->minimumSize() == clock->maximumSize());
        QTest::qWait(300);
        struct Paints : QObject {
            QMap<QObject *, int> count;
            bool eventFilter(QObject *watched, QEvent *event) override
            {
                if (event->type() == QEvent::Paint)
                    ++count[watched];
                return false;
            }
        } paints;
        // Not the level bar: the microphone's level moves it on its own.
        QWidget *others[] = { w.findChild<QPushButton *>("bsetAlarm"), w.findChild<QTimeEdit *>(),
            w.findChild<QTabBar *>() };
        for (QWidget *widget : others)
            widget->installEventFilter(&paints);
        clock->installEventFilter(&paints);
        for (const char *text : { "07:29:58", "11:11:11", "08:08:08" }) {
            clock->setText(QLatin1String(text));
            QTest::qWait(50);
        }
        QVERIFY(paints.count.value(clock) >= 1);
        for (QWidget *widget : others)
            QVERIFY2(paints.count.value(widget) == 0, widget->metaObject()->className());

        const int width = clock->width();
        w.resize(w.width() + 200, w.height());
        QTRY_VERIFY(clock->width() > width);
        QTRY_VERIFY(clock->minimumSize() == clock->maximumSize());
    }

    void formAsLaterStepsExpectIt()
    {
        WorkDir dir;
        MainWindow w;
        QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(w.windowTitle(), QStringLiteral("MainWindow"));

        const char *names[] = { "centralWidget", "horizontalLayout_2", "tabWidget", "tab",
            "verticalLayout_4", "soundBar", "horizontalLayout", "verticalLayout_2", "timeLabel",
            "testLabel", "verticalLayout_3", "label_trigger", "label_current", "selectedTime",
            "bsetAlarm", "tab_2", "verticalLayout", "tabWidget_2", "tab_3", "verticalLayout_6",
            "stopBySound", "stopByShake", "stopByFlip", "tab_4", "verticalLayout_5",
            "soundComboBox", "label", "horizontalLayout_4", "sensitivitySlider", "sensitivityLabel",
            "horizontalLayout_3", "resetButton", "applyButton" };
        for (const char *name : names)
            QVERIFY2(w.findChild<QObject *>(QLatin1String(name)), name);

        auto *tabs = w.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
        auto *inner = w.findChild<QTabWidget *>(QStringLiteral("tabWidget_2"));
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(inner->currentIndex(), 0);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Alarm"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Settings"));
        QCOMPARE(inner->tabText(0), QStringLiteral("General"));
        QCOMPARE(inner->tabText(1), QStringLiteral("Advanced"));

        QCOMPARE(w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->text(),
            QStringLiteral("Set Alarm"));
        QCOMPARE(w.findChild<QPushButton *>(QStringLiteral("resetButton"))->text(),
            QStringLiteral("Reset"));
        QCOMPARE(w.findChild<QPushButton *>(QStringLiteral("applyButton"))->text(),
            QStringLiteral("Apply"));
        QCOMPARE(w.findChild<QCheckBox *>(QStringLiteral("stopBySound"))->text(),
            QStringLiteral("Stop Alarm by Sound"));
        QCOMPARE(w.findChild<QCheckBox *>(QStringLiteral("stopByShake"))->text(),
            QStringLiteral("Stop Alarm by Shakeing"));
        QCOMPARE(w.findChild<QCheckBox *>(QStringLiteral("stopByFlip"))->text(),
            QStringLiteral("Stop by Flip"));
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("label"))->text(),
            QStringLiteral("Shake sensitivity"));
        auto *editor = w.findChild<QTimeEdit *>(QStringLiteral("selectedTime"));
        QCOMPARE(editor->displayFormat(), QStringLiteral("HH:mm"));
        QVERIFY(!editor->isReadOnly());
        QCOMPARE(w.findChild<QProgressBar *>(QStringLiteral("soundBar"))->maximum(), 100);

        auto *slider = w.findChild<QSlider *>(QStringLiteral("sensitivitySlider"));
        auto *value = w.findChild<QLabel *>(QStringLiteral("sensitivityLabel"));
        QCOMPARE(slider->minimum(), 1);
        QCOMPARE(slider->maximum(), 10);
        slider->setValue(3);
        QCOMPARE(value->text(), QStringLiteral("3"));
        slider->setValue(10);
        QCOMPARE(value->text(), QStringLiteral("10"));
    }

    // A whole alarm without a faked clock: armed, rung through its cycle by
    // hand, stopped, armed and rung again, stopped. The leak check runs this.
    void fullAlarmCycle()
    {
        WorkDir dir;
        writeFile(QStringLiteral("alarm.conf"), "sounds/ringin.wav\n07:30:00\n1\n1\n8\n1\n");
        {
            MainWindow w;
            auto *button = w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
            for (int alarm = 0; alarm < 2; ++alarm) {
                button->click();
                QCOMPARE(w.alarm_state, 1);
                w.playAlarm();
                QCOMPARE(w.alarm_state, 3);
                QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 2, 15000);
                QTRY_COMPARE_WITH_TIMEOUT(w.alarm_state, 3, 3000);
                button->click();
                QCOMPARE(w.alarm_state, 0);
            }
            QTest::qWait(3000);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void quietUntilAnAlarmIsSet()
    {
        WorkDir dir;
        MainWindow w;
        w.show();
        // A loud sound has nothing to stop yet.
        w.m_audioInfo->write(QByteArray("\xff\x7f", 2));
        QCOMPARE(w.findChild<QLabel *>(QStringLiteral("label_trigger"))->text(),
            QStringLiteral("max:2"));
        QCOMPARE(w.alarm_state, 0);
        QCOMPARE(w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->text(),
            QStringLiteral("Set Alarm"));
    }
};

ALARM_TEST_MAIN(TestShell)
#include "tst_shell.moc"
