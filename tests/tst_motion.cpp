#include "audiocapture.h"
#include "iioaccelerometer.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAccelerometer>
#include <QApplication>
#include <QLabel>
#include <QOrientationSensor>
#include <QProcess>
#include <QPushButton>
#include <QSensorBackend>
#include <QSensorBackendFactory>
#include <QSensorManager>
#include <QSound>
#include <QTimeEdit>
#include <QtTest>

using namespace TestSupport;

namespace {

// Stands in for the phone's motion hardware: the test hands out readings.
class AccelerometerBackend : public QSensorBackend {
public:
    explicit AccelerometerBackend(QSensor *sensor)
        : QSensorBackend(sensor)
    {
        setReading<QAccelerometerReading>(&reading);
    }
    void start() override { }
    void stop() override { }
    void push(qreal x, qreal y, qreal z)
    {
        reading.setX(x);
        reading.setY(y);
        reading.setZ(z);
        reading.setTimestamp(reading.timestamp() + 1);
        newReadingAvailable();
    }
    QAccelerometerReading reading;
};

class OrientationBackend : public QSensorBackend {
public:
    explicit OrientationBackend(QSensor *sensor)
        : QSensorBackend(sensor)
    {
        setReading<QOrientationReading>(&reading);
    }
    void start() override { }
    void stop() override { }
    void push(int orientation)
    {
        reading.setOrientation(QOrientationReading::Orientation(orientation));
        reading.setTimestamp(reading.timestamp() + 1);
        newReadingAvailable();
    }
    QOrientationReading reading;
};

struct Hardware : QSensorBackendFactory {
    QSensorBackend *createBackend(QSensor *sensor) override
    {
        if (sensor->type() == QAccelerometer::type)
            return accelerometer = new AccelerometerBackend(sensor);
        return orientation = new OrientationBackend(sensor);
    }
    AccelerometerBackend *accelerometer = nullptr;
    OrientationBackend *orientation = nullptr;
};

Hardware &hardware()
{
    static Hardware instance;
    return instance;
}

void writeConf(int sensitivity, bool shake = true, bool flip = true)
{
    writeFile(QStringLiteral("alarm.conf"),
        "sounds/ringin.wav\n07:30:00\n0\n" + QByteArray(shake ? "1" : "0") + '\n'
            + QByteArray::number(sensitivity) + '\n' + (flip ? "1" : "0") + '\n');
}

int stops()
{
    return log().filter(QStringLiteral("alarm stopped by")).size();
}

} // namespace

class TestMotion : public QObject {
    Q_OBJECT

private:
    QLabel *testLabel(MainWindow &w) { return w.findChild<QLabel *>(QStringLiteral("testLabel")); }
    QPushButton *button(MainWindow &w)
    {
        return w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
    }

    void tick(MainWindow &w, const char *when)
    {
        setWallClock(when);
        w.startClock();
    }

    void arm(MainWindow &w)
    {
        tick(w, "2026-12-07 07:29:50");
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        button(w)->click();
    }

    // Arms, lets the calibration moment record how the phone lies, and rings.
    void ring(MainWindow &w, int lying = 5)
    {
        arm(w);
        hardware().orientation->push(lying);
        tick(w, "2026-12-07 07:29:56");
        tick(w, "2026-12-07 07:30:00");
        QCOMPARE(w.alarm_state, 3);
    }

private slots:
    void initTestCase()
    {
        REQUIRE_FAKE_CLOCK();
        QSensorManager::registerBackend(QAccelerometer::type, "test.accelerometer", &hardware());
        QSensorManager::registerBackend(QOrientationSensor::type, "test.orientation", &hardware());
        QSensorManager::setDefaultBackend(QAccelerometer::type, "test.accelerometer");
        QSensorManager::setDefaultBackend(QOrientationSensor::type, "test.orientation");
    }

    void init() { captureLog(); }

    // The phone lies still (gravity on z, a little noise), then one reading
    // comes: a shake is how far it is from the phone at rest, and more than
    // five times the sensitivity stops the alarm.
    void shakeAgainstSensitivity_data()
    {
        QTest::addColumn<int>("sensitivity");
        QTest::addColumn<qreal>("x");
        QTest::addColumn<qreal>("y");
        QTest::addColumn<qreal>("z");
        QTest::addColumn<bool>("stops");
        QTest::newRow("1: lying still") << 1 << 0.2 << 0.3 << 9.6 << false;
        QTest::newRow("1: shaken") << 1 << 6.0 << 0.0 << 9.8 << true;
        QTest::newRow("0 stored counts as 1: lying still") << 0 << 0.2 << 0.0 << 9.8 << false;
        QTest::newRow("0 stored counts as 1: shaken") << 0 << 0.0 << -6.0 << 9.8 << true;
        QTest::newRow("2: lying still") << 2 << 0.2 << 0.3 << 9.8 << false;
        QTest::newRow("2: 10.5 off rest rounds up") << 2 << 0.0 << 0.0 << 20.3 << true;
        QTest::newRow("2: -10.6 off rest rounds down") << 2 << 0.0 << -10.6 << 9.8 << true;
        QTest::newRow("8: lying still") << 8 << 0.1 << 0.0 << 9.9 << false;
        QTest::newRow("8: 40.4 is not above 40") << 8 << 40.4 << 0.0 << 9.8 << false;
        QTest::newRow("8: x beyond") << 8 << -40.6 << 0.0 << 9.8 << true;
        QTest::newRow("8: only z beyond") << 8 << 1.0 << 2.0 << 55.0 << true;
    }

    void shakeAgainstSensitivity()
    {
        QFETCH(int, sensitivity);
        QFETCH(qreal, x);
        QFETCH(qreal, y);
        QFETCH(qreal, z);
        QFETCH(bool, stops);
        WorkDir dir;
        writeConf(sensitivity);
        MainWindow w;
        hardware().accelerometer->push(0.0, 0.0, 9.8);
        ring(w);
        for (int i = 0; i < 20; ++i)
            hardware().accelerometer->push(0.0, 0.0, 9.8);
        QCOMPARE(w.alarm_state, 3);
        hardware().accelerometer->push(x, y, z);
        QCOMPARE(w.accX, x);
        QCOMPARE(w.accZ, z);
        QCOMPARE(w.alarm_state == 0, stops);
        QCOMPARE(::stops(), stops ? 1 : 0);
        if (stops) {
            QVERIFY(log().contains(QStringLiteral("alarm stopped by shake")));
            QCOMPARE(testLabel(w)->text(), QString());
            QCOMPARE(button(w)->text(), QStringLiteral("Set Alarm"));
            QVERIFY(!w.findChild<QTimeEdit *>()->isReadOnly());
            QTRY_VERIFY(w.soundObject->isFinished());
            // A flip right after finds nothing left to stop.
            hardware().orientation->push(6);
            QCOMPARE(::stops(), 1);
            QCOMPARE(testLabel(w)->text(), QStringLiteral("6"));
        } else {
            QCOMPARE(testLabel(w)->text(), QString::number(sensitivity));
            button(w)->click();
        }
    }

    void flipToTheOppositeSide_data()
    {
        QTest::addColumn<int>("reference");
        QTest::addColumn<QList<int>>("ignored");
        QTest::addColumn<int>("opposite");
        QTest::newRow("face up") << 5 << QList<int>({ 0, 1, 2, 3, 4, 5 }) << 6;
        QTest::newRow("top down") << 2 << QList<int>({ 0, 2, 3, 4, 5, 6 }) << 1;
        QTest::newRow("left up") << 3 << QList<int>({ 0, 1, 2, 3, 5, 6 }) << 4;
        QTest::newRow("undefined") << 0 << QList<int>({ 0, 1, 2, 3, 4, 5, 6 }) << -1;
    }

    void flipToTheOppositeSide()
    {
        QFETCH(int, reference);
        QFETCH(QList<int>, ignored);
        QFETCH(int, opposite);
        WorkDir dir;
        writeConf(8);
        MainWindow w;
        ring(w, reference);
        QVERIFY(log().contains(QStringLiteral("\"Initial Orientation: %1\"").arg(reference)));
        for (int orientation : ignored) {
            hardware().orientation->push(orientation);
            QCOMPARE(testLabel(w)->text(), QString::number(orientation));
        }
        QCOMPARE(w.alarm_state == 3 || w.alarm_state == 2, true);
        if (opposite < 0)
            return;
        hardware().orientation->push(opposite);
        QCOMPARE(w.alarm_state, 0);
        QVERIFY(log().contains(QStringLiteral("alarm stopped by flip")));
        hardware().accelerometer->push(60, 0, 0);
        QCOMPARE(::stops(), 1);
    }

    void motionStopsOnlyARingingAlarm()
    {
        WorkDir dir;
        writeConf(1);
        MainWindow w;
        hardware().orientation->push(5);
        w.readInitialOri();
        hardware().accelerometer->push(60, 60, 60);
        hardware().orientation->push(6);
        arm(w);
        hardware().accelerometer->push(60, 60, 60);
        hardware().orientation->push(5);
        tick(w, "2026-12-07 07:29:56");
        hardware().orientation->push(6);
        QCOMPARE(w.alarm_state, 1);
        QCOMPARE(stops(), 0);
        button(w)->click();
    }

    void switchedOffRulesStillRecordReadings()
    {
        WorkDir dir;
        writeConf(1, false, false);
        MainWindow w;
        ring(w, 5);
        hardware().accelerometer->push(70, -3.5, 9.8);
        QCOMPARE(w.accX, 70.0);
        QCOMPARE(w.accY, -3.5);
        hardware().orientation->push(6);
        QCOMPARE(testLabel(w)->text(), QStringLiteral("6"));
        QCOMPARE(w.alarm_state == 2 || w.alarm_state == 3, true);
        button(w)->click();
    }

    void fileDrivenSensorsStopTheAlarm_data()
    {
        QTest::addColumn<QByteArray>("motion");
        QTest::addColumn<QString>("message");
        QTest::newRow("shaken") << QByteArray("-60,0,-9.8") << "alarm stopped by shake";
        QTest::newRow("turned over") << QByteArray("0,0,9.8") << "alarm stopped by flip";
        // A broken sensor stops nothing and crashes nothing; the button still works.
        QTest::newRow("garbage") << QByteArray("abc,\xff\xfe,;;") << "stopped by button";
        QTest::newRow("file removed") << QByteArray("remove") << "stopped by button";
    }

    // The program's own backend for a phone's IIO accelerometer, in a
    // process of its own where no test hardware is registered.
    void iioAccelerometerStopsTheAlarm()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_ACCEL_FILEPATH"));
        QVERIFY_CHILD(runSelf(env, { QStringLiteral("--iio-sensors") }, 60000));
    }

    // Qt's own file-driven accelerometer and the orientation derived from it,
    // in a process of their own where no test hardware is registered.
    void fileDrivenSensorsStopTheAlarm()
    {
        QFETCH(QByteArray, motion);
        QFETCH(QString, message);
        WorkDir dir;
        writeFile(QStringLiteral("accelerometer"), "0,0,-9.8\n");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(
            QStringLiteral("QT_ACCEL_FILEPATH"), dir.path() + QStringLiteral("/accelerometer"));
        env.insert(QStringLiteral("QT_ACCEL_DELIMITER"), QStringLiteral(","));
        env.insert(
            QStringLiteral("FAKETIME_TIMESTAMP_FILE"), dir.path() + QStringLiteral("/clock"));
        env.insert(QStringLiteral("MOTION"), QString::fromLatin1(motion));
        const ChildRun child
            = runSelf(env, { QStringLiteral("--file-sensors") }, 30000, dir.path());
        QVERIFY2(child.passed, child.failures.constData());
        QVERIFY2(child.output.contains(message.toLatin1()), child.output.constData());
    }
};

// Runs in the child process of iioAccelerometerStopsTheAlarm: a tree laid out
// as the kernel's sysfs shows an IIO accelerometer, read by the program's own
// backend, which also tells the orientation.
class TestIioSensors : public QObject {
    Q_OBJECT

private:
    // Writes the raw axes as the kernel would show them.
    static void rawAxes(const QString &device, int x, int y, int z)
    {
        writeFile(device + QStringLiteral("/in_accel_x_raw"), QByteArray::number(x) + '\n');
        writeFile(device + QStringLiteral("/in_accel_y_raw"), QByteArray::number(y) + '\n');
        writeFile(device + QStringLiteral("/in_accel_z_raw"), QByteArray::number(z) + '\n');
    }

    // A device lying face up, laid out as the kernel shows it, where the
    // backend looks for it; empty if it cannot be made.
    static QString faceUpDevice(const WorkDir &dir)
    {
        const QString device = dir.path() + QStringLiteral("/iio/iio:device0");
        if (!QDir().mkpath(device))
            return QString();
        writeFile(device + QStringLiteral("/in_accel_scale"), "0.009576\n");
        rawAxes(device, 0, 0, -1024);
        qputenv("ALARMCLOCK_IIO_DIR", QFile::encodeName(dir.path() + QStringLiteral("/iio")));
        return device;
    }

    // A window armed for 07:30 with the clock at 07:29:50.
    static void armForHalfPastSeven(MainWindow &w)
    {
        setWallClock("2026-12-07 07:29:50");
        w.startClock();
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->click();
    }

    static void ring(MainWindow &w)
    {
        setWallClock("2026-12-07 07:29:56");
        w.startClock();
        setWallClock("2026-12-07 07:30:00");
        w.startClock();
    }

    // Makes an axis unreadable in a way a test can: a directory or a FIFO
    // where the attribute was.
    static void breakAxis(const QString &device, const QString &how)
    {
        const QString file = device + QStringLiteral("/in_accel_x_raw");
        QFile::remove(file);
        if (how == QLatin1String("directory"))
            QDir().mkdir(file);
        else
            QProcess::execute(QStringLiteral("mkfifo"), { file });
    }

private slots:
    void init() { captureLog(); }

    // Raw counts with no scale have no unit: the device is not used, and the
    // log says why, once. An upright 16384 would otherwise be a shake.
    void deviceWithoutScaleIsNotUsed()
    {
        WorkDir dir;
        const QString device = dir.path() + QStringLiteral("/iio/iio:device0");
        QVERIFY(QDir().mkpath(device));
        rawAxes(device, 0, 0, 16384);
        qputenv("ALARMCLOCK_IIO_DIR", QFile::encodeName(dir.path() + QStringLiteral("/iio")));
        QVERIFY(!IioAccelerometer::registerIfPresent());
        writeConf(1);
        MainWindow w;
        QCOMPARE(log().filter(QStringLiteral("unavailable")),
            QStringList { "Stop by shaking and by turning over are unavailable: the accelerometer "
                          "iio:device0 reports no scale for its x axis, so its readings have no "
                          "known unit" });
        armForHalfPastSeven(w);
        ring(w);
        QTest::qWait(500);
        QCOMPARE(w.alarm_state, 3);
        w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->click();
    }

    // The phone's accelerometer looks on the window's thread: the
    // microphone's chunks come as they are, for its looks to ride on.
    void microphoneKeepsPaceWithTheAccelerometer()
    {
        WorkDir dir;
        QVERIFY(!faceUpDevice(dir).isEmpty());
        QVERIFY(IioAccelerometer::registerIfPresent());
        writeConf(8);
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        setWallClock("2026-12-07 06:00:00");
        w.startClock();
        QCOMPARE(w.capture->patience(), 0);
    }

    void unreadableDeviceComesBack_data()
    {
        QTest::addColumn<bool>("brokenAtStart");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("message");
        QTest::newRow("directory from the start, then shaken") << true << "directory"
                                                               << "Is a directory"
                                                               << "alarm stopped by shake";
        QTest::newRow("FIFO from the start, then shaken") << true << "fifo"
                                                          << "No data available"
                                                          << "alarm stopped by shake";
        // The reading from before the failure is not taken for how the phone
        // lies at the calibration moment.
        QTest::newRow("unreadable at the calibration, then turned over") << false << "directory"
                                                                         << "Is a directory"
                                                                         << "stopped by button";
    }

    // A device that cannot be read (on a phone: busy while the sensor service
    // uses its buffer) is looked at slowly until it can be read again.
    void unreadableDeviceComesBack()
    {
        QFETCH(bool, brokenAtStart);
        QFETCH(QString, how);
        QFETCH(QString, error);
        QFETCH(QString, message);
        WorkDir dir;
        const QString device = faceUpDevice(dir);
        QVERIFY(!device.isEmpty());
        if (brokenAtStart)
            breakAxis(device, how);
        QVERIFY(IioAccelerometer::registerIfPresent());
        writeConf(8);
        MainWindow w;
        armForHalfPastSeven(w);
        auto *label = w.findChild<QLabel *>(QStringLiteral("testLabel"));
        if (!brokenAtStart) {
            QTRY_COMPARE(label->text(), QStringLiteral("5"));
            breakAxis(device, how);
        }
        const QString failure = QStringLiteral("The accelerometer iio:device0 cannot be read (")
            + error
            + QStringLiteral("): shaking and turning over cannot stop the alarm until it can");
        QTRY_VERIFY(log().contains(failure));
        ring(w);
        QVERIFY(log().contains(QStringLiteral("\"Initial Orientation: 0\"")));
        QDir().rmdir(device + QStringLiteral("/in_accel_x_raw"));
        QFile::remove(device + QStringLiteral("/in_accel_x_raw"));
        // A shake is judged against the phone at rest, which the first
        // reading after the failure shows.
        rawAxes(device, 0, 0, brokenAtStart ? -1024 : 1024);
        QTRY_VERIFY(
            log().contains(QStringLiteral("The accelerometer iio:device0 can be read again")));
        if (brokenAtStart) {
            QTRY_COMPARE(w.accZ > 9.0, true);
            rawAxes(device, 5000, 0, -1024);
        }
        if (!brokenAtStart) {
            QTRY_COMPARE(w.accZ < -9.0, true);
            QTest::qWait(300);
            QCOMPARE(w.alarm_state > 1, true);
            w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->click();
            log().append(message);
        }
        QTRY_COMPARE(w.alarm_state, 0);
        QVERIFY2(log().contains(message), qPrintable(log().join(QLatin1Char('\n'))));
        QCOMPARE(log().filter(QStringLiteral("cannot be read")).size(), 1);
    }

    // Each side up, as raw counts of the gravity vector (about 1024 to a g):
    // three quarters of a g along an axis decides; less keeps the last one.
    void orientationOfEachSide_data()
    {
        QTest::addColumn<QList<int>>("raw");
        QTest::addColumn<int>("orientation");
        QTest::newRow("top up") << QList<int> { 0, -1024, 0 } << 1;
        QTest::newRow("top down") << QList<int> { 0, 1024, 0 } << 2;
        QTest::newRow("left up") << QList<int> { 1024, 0, 0 } << 3;
        QTest::newRow("right up") << QList<int> { -1024, 0, 0 } << 4;
        QTest::newRow("face down") << QList<int> { 0, 0, 1024 } << 6;
        QTest::newRow("tilted halfway from face up to top up") << QList<int> { 0, -724, -724 } << 5;
        QTest::newRow("top up, leaning back") << QList<int> { 0, -800, -600 } << 1;
    }

    void orientationOfEachSide()
    {
        QFETCH(QList<int>, raw);
        QFETCH(int, orientation);
        WorkDir dir;
        const QString device = faceUpDevice(dir);
        QVERIFY(!device.isEmpty());
        QVERIFY(IioAccelerometer::registerIfPresent());
        QOrientationSensor sensor;
        QSignalSpy changes(&sensor, &QSensor::readingChanged);
        QVERIFY(sensor.start());
        QTRY_COMPARE(changes.size(), 1);
        QCOMPARE(int(sensor.reading()->orientation()), 5);
        rawAxes(device, raw[0], raw[1], raw[2]);
        QTest::qWait(300);
        QCOMPARE(int(sensor.reading()->orientation()), orientation);
        // Only a change is a new reading.
        QCOMPARE(changes.size(), orientation == 5 ? 1 : 2);
    }

    // The device is looked at twenty times a second. Where the thread wakes
    // anyway (here a timer's ticks, on a phone the microphone), the looks
    // come with those wake-ups rather than wake it again.
    void looksRideOnOtherWakeUps_data()
    {
        QTest::addColumn<int>("tickMs");
        QTest::newRow("alone") << 0;
        QTest::newRow("ticks every 15 ms") << 15;
        QTest::newRow("ticks every 2 ms") << 2;
    }

    void looksRideOnOtherWakeUps()
    {
        QFETCH(int, tickMs);
        WorkDir dir;
        const QString device = faceUpDevice(dir);
        QVERIFY(!device.isEmpty());
        QVERIFY(IioAccelerometer::registerIfPresent());
        QElapsedTimer clock;
        clock.start();
        QVector<qint64> ticks;
        QVector<qint64> readings;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        connect(&ticker, &QTimer::timeout, [&] { ticks.append(clock.nsecsElapsed()); });
        QAccelerometer sensor;
        connect(&sensor, &QSensor::readingChanged, [&] { readings.append(clock.nsecsElapsed()); });
        QVERIFY(sensor.start());
        if (tickMs > 0)
            ticker.start(tickMs);
        waitAsTheProgram(2000);
        sensor.stop();
        // Between 16 and 25 a second, however often the thread wakes.
        QVERIFY2(readings.size() >= 32 && readings.size() <= 50,
            qPrintable(QString::number(readings.size())));
        if (tickMs == 0)
            return;
        // A look that rode on a tick came within a fraction of a millisecond
        // of it; one that woke the thread itself, anywhere between ticks.
        int rode = 0;
        for (const qint64 reading : qAsConst(readings)) {
            const auto next = std::lower_bound(ticks.cbegin(), ticks.cend(), reading);
            const qint64 after = next == ticks.cend() ? LLONG_MAX : *next - reading;
            const qint64 before = next == ticks.cbegin() ? LLONG_MAX : reading - *(next - 1);
            rode += qMin(after, before) < 1000000;
        }
        QVERIFY2(rode >= readings.size() * 8 / 10,
            qPrintable(QStringLiteral("%1 of %2").arg(rode).arg(readings.size())));
    }

    void ringThenMove_data()
    {
        // Attribute files besides the raw axes, how the phone lies (raw), the
        // move (raw, or "remove" for a device that goes), what stops the alarm.
        QTest::addColumn<QStringList>("attributes");
        QTest::addColumn<QList<int>>("lying");
        QTest::addColumn<QList<int>>("move");
        QTest::addColumn<QString>("message");
        const QStringList plain { "in_accel_scale=0.009576", "name=test-accel" };
        // IIO reports the gravity vector: lying face up reads z = -1 g.
        QTest::newRow("face up, shaken")
            << plain << QList<int> { 0, 0, -1024 } << QList<int> { 5000, 0, -1024 }
            << "alarm stopped by shake";
        QTest::newRow("face up, turned over")
            << plain << QList<int> { 0, 0, -1024 } << QList<int> { 0, 0, 1024 }
            << "alarm stopped by flip";
        QTest::newRow("mounted upside down, turned over")
            << QStringList { "in_accel_scale=0.009576",
                   "in_accel_mount_matrix=1, 0, 0; 0, -1, 0; 0, 0, -1" }
            << QList<int> { 0, 0, 1024 } << QList<int> { 0, 0, -1024 } << "alarm stopped by flip";
        // 2200 - 100 = 2100 counts of 0.02 m/s²: 42, above 5 x 8.
        QTest::newRow("scale and offset per axis, shaken")
            << QStringList { "in_accel_x_scale=0.02", "in_accel_y_scale=0.01",
                   "in_accel_z_scale=0.005", "in_accel_x_offset=-100" }
            << QList<int> { 0, 0, -1961 } << QList<int> { 2200, 0, -1961 }
            << "alarm stopped by shake";
        QTest::newRow("device gone while ringing")
            << plain << QList<int> { 0, 0, -1024 } << QList<int>() << "stopped by button";
    }

    void ringThenMove()
    {
        QFETCH(QStringList, attributes);
        QFETCH(QList<int>, lying);
        QFETCH(QList<int>, move);
        QFETCH(QString, message);
        WorkDir dir;
        const QString device = dir.path() + QStringLiteral("/iio/iio:device0");
        QVERIFY(QDir().mkpath(device));
        for (const QString &attribute : attributes)
            writeFile(device + QLatin1Char('/') + attribute.section(QLatin1Char('='), 0, 0),
                attribute.section(QLatin1Char('='), 1).toUtf8() + '\n');
        rawAxes(device, lying[0], lying[1], lying[2]);
        qputenv("ALARMCLOCK_IIO_DIR", QFile::encodeName(dir.path() + QStringLiteral("/iio")));
        QVERIFY(IioAccelerometer::registerIfPresent());

        setWallClock("2026-12-07 07:29:50");
        writeConf(8);
        MainWindow w;
        w.startClock();
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        auto *button = w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
        button->click();
        QTRY_COMPARE(
            w.findChild<QLabel *>(QStringLiteral("testLabel"))->text(), QStringLiteral("5"));
        QVERIFY(qAbs(w.accZ - 9.8) < 0.1);
        setWallClock("2026-12-07 07:29:56");
        w.startClock();
        QVERIFY(log().contains(QStringLiteral("\"Initial Orientation: 5\"")));
        setWallClock("2026-12-07 07:30:00");
        w.startClock();
        QCOMPARE(button->text(), QStringLiteral("Stop Alarm"));

        if (move.isEmpty()) {
            QVERIFY(QDir(dir.path() + QStringLiteral("/iio")).removeRecursively());
            QTest::qWait(1000);
            QCOMPARE(button->text(), QStringLiteral("Stop Alarm"));
            button->click();
            log().append(QStringLiteral("stopped by button"));
        } else {
            rawAxes(device, move[0], move[1], move[2]);
        }
        QTRY_COMPARE(button->text(), QStringLiteral("Set Alarm"));
        QVERIFY2(log().contains(message), qPrintable(log().join(QLatin1Char('\n'))));
        if (message.endsWith(QLatin1String("shake")))
            QVERIFY2(qAbs(qAbs(w.accX) - (move[0] > 3000 ? 47.88 : 42.0)) < 0.1,
                qPrintable(QString::number(w.accX)));
    }
};

// Runs in the child process of fileDrivenSensorsStopTheAlarm.
class TestFileSensors : public QObject {
    Q_OBJECT

private slots:
    void ringThenMove()
    {
        captureLog();
        setWallClock("2026-12-07 07:29:50");
        writeConf(8);
        QDir().mkdir(QStringLiteral("sounds"));
        QFile::copy(QStringLiteral(ALARMCLOCK_SOURCE_DIR "/sounds/ringin.wav"),
            QStringLiteral("sounds/ringin.wav"));
        MainWindow w;
        w.startClock();
        w.findChild<QTimeEdit *>()->setTime(QTime(7, 30));
        w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"))->click();
        QTRY_COMPARE(
            w.findChild<QLabel *>(QStringLiteral("testLabel"))->text(), QStringLiteral("5"));
        setWallClock("2026-12-07 07:29:56");
        w.startClock();
        QVERIFY(log().contains(QStringLiteral("\"Initial Orientation: 5\"")));
        setWallClock("2026-12-07 07:30:00");
        w.startClock();
        auto *button = w.findChild<QPushButton *>(QStringLiteral("bsetAlarm"));
        QCOMPARE(button->text(), QStringLiteral("Stop Alarm"));
        const QByteArray motion = qgetenv("MOTION");
        if (motion == "remove")
            QFile::remove(QStringLiteral("accelerometer"));
        else
            writeFile(QStringLiteral("accelerometer"), motion + '\n');
        if (motion == "remove" || motion.startsWith("abc")) {
            QTest::qWait(1000);
            QCOMPARE(button->text(), QStringLiteral("Stop Alarm"));
            button->click();
            fprintf(stdout, "stopped by button\n");
        }
        QTRY_COMPARE(button->text(), QStringLiteral("Set Alarm"));
        for (const QString &line : log())
            fprintf(stdout, "%s\n", qPrintable(line));
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--file-sensors") == 0) {
        TestFileSensors test;
        return runTests(test, 1, argv);
    }
    if (argc > 1 && qstrcmp(argv[1], "--iio-sensors") == 0) {
        TestIioSensors test;
        return runTests(test, 1, argv);
    }
    TestMotion test;
    return runTests(test, argc, argv);
}

#include "tst_motion.moc"
