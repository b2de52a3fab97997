#include "iioaccelerometer.h"

#include <QAbstractEventDispatcher>
#include <QAccelerometer>
#include <QBasicTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QOrientationSensor>
#include <QSensorBackendFactory>
#include <QSensorManager>
#include <QTimerEvent>
#include <QtGlobal>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A shake lasts a few hundred milliseconds: twenty looks a second see it,
// and cost next to nothing through a night of waiting.
const int defaultRate = 20;
// While the device cannot be read (busy with its buffer, gone), a look a
// second finds it again without costing anything.
const int failingIntervalMs = 1000;
// A look may come up to half its interval early, to ride on a wake-up the
// thread makes anyway (the microphone's, twenty or so a second, unevenly);
// the timer waits a twentieth past it, so that such wake-ups a little late
// are taken too.
const int earlyDivisor = 2;
const int lateDivisor = 20;

const char *const axisNames[3] = { "x", "y", "z" };

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.read(256)).trimmed();
}

bool readNumber(const QString &path, double *value)
{
    bool ok = false;
    const double number = readText(path).toDouble(&ok);
    if (ok)
        *value = number;
    return ok;
}

// A per-axis attribute where the device has one, else the shared one.
bool attribute(const QString &device, int axis, const char *name, double *value)
{
    return readNumber(device + QStringLiteral("/in_accel_%1_%2").arg(axisNames[axis], name), value)
        || readNumber(device + QStringLiteral("/in_accel_%1").arg(name), value);
}

// Raw counts without a scale have no known unit: gravity alone could read
// as a violent shake. Why a device cannot be used, or nothing.
QString unscaled(const QString &device)
{
    for (int axis = 0; axis < 3; ++axis) {
        double scale = 0.0;
        if (!attribute(device, axis, "scale", &scale) || !(scale > 0.0))
            return QStringLiteral("the accelerometer %1 reports no scale for its %2 axis, so its "
                                  "readings have no known unit")
                .arg(QFileInfo(device).fileName(), QLatin1String(axisNames[axis]));
    }
    return QString();
}

QString &unusable()
{
    static QString reason;
    return reason;
}

class Factory : public QSensorBackendFactory {
public:
    QSensorBackend *createBackend(QSensor *sensor) override
    {
        return new IioAccelerometer(device, sensor);
    }
    QString device;
};

Factory &factory()
{
    static Factory instance;
    return instance;
}

} // namespace

// One IIO device, read once per look for every backend that shows it: the
// accelerometer and the orientation sensor.
class IioAccelerometer::Device : public QObject {
public:
    static Device *of(const QString &path)
    {
        static QHash<QString, Device *> devices;
        Device *&device = devices[path];
        if (!device)
            device = new Device(path);
        return device;
    }

    void subscribe(IioAccelerometer *reader, int rate)
    {
        if (!readers.contains(reader))
            readers.append(reader);
        interval = qMin(interval, 1000 / qBound(1, rate, 100));
        if (!timer.isActive())
            schedule(failing ? failingIntervalMs : interval);
    }

    void unsubscribe(IioAccelerometer *reader)
    {
        readers.removeAll(reader);
        if (readers.isEmpty()) {
            timer.stop();
            closeRaw();
        }
    }

private:
    explicit Device(const QString &path)
        : path(path)
    {
        readCalibration();
        clock.start();
        // On a phone each wake-up of its own costs more than the look.
        if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
            connect(dispatcher, &QAbstractEventDispatcher::awake, this, &Device::rideAlong);
    }

    // Counted from when the look was due, or from the look if it came late:
    // early rides keep the rate, and a look the timer takes comes a little
    // late, so the looks drift until they meet the thread's other wake-ups.
    void schedule(int wait)
    {
        const qint64 now = clock.elapsed();
        due = qMax(due, now) + wait;
        timer.start(int(due - now) + wait / lateDivisor, Qt::PreciseTimer, this);
    }

    // The thread woke for something else: a look nearly due is taken now
    // rather than wake the thread again for it shortly.
    void rideAlong()
    {
        if (!failing && timer.isActive() && clock.elapsed() >= due - interval / earlyDivisor)
            look();
    }

    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() == timer.timerId())
            look();
    }

    // Offset, scale and mount matrix do not change while the phone runs;
    // only the raw axes are read at every look.
    void readCalibration()
    {
        name = QFileInfo(path).fileName();
        closeRaw();
        for (int axis = 0; axis < 3; ++axis) {
            rawPath[axis] = QFile::encodeName(
                path + QStringLiteral("/in_accel_%1_raw").arg(QLatin1String(axisNames[axis])));
            offset[axis] = 0.0;
            scale[axis] = 1.0;
            attribute(path, axis, "offset", &offset[axis]);
            attribute(path, axis, "scale", &scale[axis]);
        }
        static const double identity[9] = { 1, 0, 0, 0, 1, 0, 0, 0, 1 };
        std::copy(identity, identity + 9, matrix);
        QString text = readText(path + QStringLiteral("/in_accel_mount_matrix"));
        if (text.isEmpty())
            text = readText(path + QStringLiteral("/mount_matrix"));
        const QStringList cells
            = QString(text).replace(QLatin1Char(';'), QLatin1Char(',')).split(QLatin1Char(','));
        if (cells.size() == 9) {
            double parsed[9];
            bool ok = true;
            for (int i = 0; i < 9 && ok; ++i)
                parsed[i] = cells[i].trimmed().toDouble(&ok);
            if (ok)
                std::copy(parsed, parsed + 9, matrix);
        }
    }

    // One raw axis: 0, or errno's value on failure. The attribute stays
    // open between looks: sysfs reads it anew at offset 0, and a device that
    // goes away fails the read.
    int readRaw(int axis, double *value)
    {
        if (rawFd[axis] < 0) {
            // Never wait on what is not a plain attribute.
            rawFd[axis] = ::open(rawPath[axis].constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (rawFd[axis] < 0)
                return errno;
        }
        char text[64];
        const ssize_t got = ::pread(rawFd[axis], text, sizeof text - 1, 0);
        if (got < 0)
            // What cannot be read from its start is no attribute.
            return errno == ESPIPE ? ENODATA : errno;
        text[got] = '\0';
        // The kernel writes a decimal integer, read here at twenty a second:
        // only what is not one goes through the general parser.
        const char *digit = text + (text[0] == '-');
        qint64 counts = 0;
        int digits = 0;
        for (; *digit >= '0' && *digit <= '9' && digits < 15; ++digit, ++digits)
            counts = counts * 10 + (*digit - '0');
        if (digits > 0 && (*digit == '\n' || *digit == '\0')) {
            *value = double(text[0] == '-' ? -counts : counts);
            return 0;
        }
        char *end = nullptr;
        *value = std::strtod(text, &end);
        // Anything but a number is no reading.
        if (end == text || (*end != '\0' && *end != '\n'))
            return ENODATA;
        return 0;
    }

    void closeRaw()
    {
        for (int &fd : rawFd) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }

    void look()
    {
        // Opened anew once a second all the same, so a device that went and
        // came back is read again.
        if (!reopenClock.isValid() || reopenClock.hasExpired(failingIntervalMs)) {
            closeRaw();
            reopenClock.start();
        }
        double raw[3];
        for (int axis = 0; axis < 3; ++axis) {
            if (const int error = readRaw(axis, &raw[axis])) {
                closeRaw();
                fail(QString::fromLocal8Bit(std::strerror(error)), error);
                return;
            }
            raw[axis] = (raw[axis] + offset[axis]) * scale[axis];
        }
        double axes[3];
        for (int row = 0; row < 3; ++row)
            axes[row] = matrix[row * 3] * raw[0] + matrix[row * 3 + 1] * raw[1]
                + matrix[row * 3 + 2] * raw[2];
        schedule(interval);
        if (failing) {
            failing = false;
            if (toldFailure && !toldRecovery) {
                toldRecovery = true;
                qWarning("%s",
                    qPrintable(QStringLiteral("The accelerometer %1 can be read again").arg(name)));
            }
        }
        const quint64 timestamp = quint64(clock.nsecsElapsed() / 1000);
        for (IioAccelerometer *reader : qAsConst(readers))
            reader->deliver(axes, timestamp);
    }

    // The next look comes slowly, until the device can be read again; a
    // device that went away may come back under another number. Whoever
    // shows the readings learns that the last one is no longer live.
    void fail(const QString &error, int code)
    {
        if (code == ENOENT) {
            const QString found = IioAccelerometer::findDevice();
            if (!found.isEmpty() && found != path && unscaled(found).isEmpty()) {
                path = found;
                readCalibration();
            }
        }
        schedule(failingIntervalMs);
        if (failing)
            return;
        failing = true;
        if (!toldErrors.contains(error)) {
            toldErrors.append(error);
            toldFailure = true;
            qWarning("%s",
                qPrintable(QStringLiteral("The accelerometer %1 cannot be read (%2): shaking and "
                                          "turning over cannot stop the alarm until it can")
                               .arg(name, error)));
        }
        for (IioAccelerometer *reader : qAsConst(readers))
            reader->failed(code);
    }

    QString path;
    QString name;
    double offset[3];
    double scale[3];
    double matrix[9];
    QByteArray rawPath[3];
    // Restarted at every look, so cheaper than a QTimer.
    QBasicTimer timer;
    int interval = 1000 / defaultRate;
    // When the next look is due, in milliseconds of clock.
    qint64 due = 0;
    QList<IioAccelerometer *> readers;
    QElapsedTimer clock;
    int rawFd[3] = { -1, -1, -1 };
    QElapsedTimer reopenClock;
    bool failing = false;
    bool toldFailure = false;
    bool toldRecovery = false;
    QStringList toldErrors;
};

const char *const IioAccelerometer::identifier = "alarmclock.iio.accelerometer";
const char *const IioAccelerometer::orientationIdentifier = "alarmclock.iio.orientation";

QString IioAccelerometer::devicesDirectory()
{
    const QString directory = qEnvironmentVariable("ALARMCLOCK_IIO_DIR");
    return directory.isEmpty() ? QStringLiteral("/sys/bus/iio/devices") : directory;
}

QString IioAccelerometer::findDevice()
{
    const QDir directory(devicesDirectory());
    for (const QString &entry :
        directory.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString device = directory.filePath(entry);
        bool complete = true;
        for (const char *axis : axisNames)
            complete
                = complete && QFile::exists(device + QStringLiteral("/in_accel_%1_raw").arg(axis));
        if (complete)
            return device;
    }
    return QString();
}

bool IioAccelerometer::registerIfPresent()
{
    unusable().clear();
    const QString device = findDevice();
    if (device.isEmpty())
        return false;
    unusable() = unscaled(device);
    if (!unusable().isEmpty()) {
        QSensorManager::unregisterBackend(QAccelerometer::type, identifier);
        QSensorManager::unregisterBackend(QOrientationSensor::type, orientationIdentifier);
        return false;
    }
    factory().device = device;
    // The phones' sensor service reports only four orientations; this
    // backend knows all six, face up and face down among them.
    const char *const backends[][2] = { { QAccelerometer::type, identifier },
        { QOrientationSensor::type, orientationIdentifier } };
    for (const auto &backend : backends) {
        if (!QSensorManager::isBackendRegistered(backend[0], backend[1]))
            QSensorManager::registerBackend(backend[0], backend[1], &factory());
        QSensorManager::setDefaultBackend(backend[0], backend[1]);
    }
    return true;
}

QString IioAccelerometer::unusableReason()
{
    return unusable();
}

IioAccelerometer::IioAccelerometer(const QString &device, QSensor *sensor)
    : QSensorBackend(sensor)
    , device(Device::of(device))
    , orientation(sensor->type() == QOrientationSensor::type)
{
    if (orientation)
        setReading<QOrientationReading>(&orientationReading);
    else
        setReading<QAccelerometerReading>(&reading);
    setDescription(QStringLiteral("IIO accelerometer ") + device);
    addDataRate(1, 100);
}

IioAccelerometer::~IioAccelerometer()
{
    device->unsubscribe(this);
}

// The first reading comes from the event loop, as later ones do, once
// whoever started the sensor has connected to it.
void IioAccelerometer::start()
{
    device->subscribe(this, sensor()->dataRate() > 0 ? sensor()->dataRate() : defaultRate);
}

void IioAccelerometer::stop()
{
    device->unsubscribe(this);
}

void IioAccelerometer::deliver(const double axes[3], quint64 timestamp)
{
    // IIO reports the gravity vector (face up: z about -9.8); QAccelerometer
    // reports the opposite.
    const qreal x = -axes[0];
    const qreal y = -axes[1];
    const qreal z = -axes[2];
    if (!orientation) {
        reading.setX(x);
        reading.setY(y);
        reading.setZ(z);
        reading.setTimestamp(timestamp);
        newReadingAvailable();
        return;
    }
    // An edge or a side counts as up once three quarters of gravity pull
    // along it; in between, the phone keeps the orientation it had.
    const qreal g = 7.35;
    QOrientationReading::Orientation now = orientationReading.orientation();
    if (y > g)
        now = QOrientationReading::TopUp;
    else if (y < -g)
        now = QOrientationReading::TopDown;
    else if (x > g)
        now = QOrientationReading::RightUp;
    else if (x < -g)
        now = QOrientationReading::LeftUp;
    else if (z > g)
        now = QOrientationReading::FaceUp;
    else if (z < -g)
        now = QOrientationReading::FaceDown;
    // Only changes are news, after the first reading.
    if (now == orientationReading.orientation() && orientationReading.timestamp() != 0)
        return;
    orientationReading.setOrientation(now);
    orientationReading.setTimestamp(qMax(timestamp, quint64(1)));
    newReadingAvailable();
}

void IioAccelerometer::failed(int error)
{
    sensorError(error);
}
