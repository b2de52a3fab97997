#include "iioaccelerometer.h"

#include <QAccelerometer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QOrientationSensor>
#include <QSensorBackendFactory>
#include <QSensorManager>
#include <QTimer>
#include <QtGlobal>

namespace {

// A shake lasts a few hundred milliseconds: twenty looks a second see it,
// and cost next to nothing through a night of waiting.
const int defaultRate = 20;

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
double attribute(const QString &device, int axis, const char *name, double fallback)
{
    double value = fallback;
    if (!readNumber(device + QStringLiteral("/in_accel_%1_%2").arg(axisNames[axis], name), &value))
        readNumber(device + QStringLiteral("/in_accel_%1").arg(name), &value);
    return value;
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

const char *const IioAccelerometer::identifier = "alarmclock.iio.accelerometer";

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
    const QString device = findDevice();
    if (device.isEmpty())
        return false;
    factory().device = device;
    if (!QSensorManager::isBackendRegistered(QAccelerometer::type, identifier))
        QSensorManager::registerBackend(QAccelerometer::type, identifier, &factory());
    QSensorManager::setDefaultBackend(QAccelerometer::type, identifier);
    // The phones' sensor service reports only four orientations; the
    // generic backend derives all six from this accelerometer.
    QSensorManager::setDefaultBackend(QOrientationSensor::type, "generic.orientation");
    return true;
}

IioAccelerometer::IioAccelerometer(const QString &device, QSensor *sensor)
    : QSensorBackend(sensor)
    , device(device)
    , timer(new QTimer(this))
{
    setReading<QAccelerometerReading>(&reading);
    setDescription(QStringLiteral("IIO accelerometer ") + device);
    addDataRate(1, 100);
    connect(timer, &QTimer::timeout, this, &IioAccelerometer::poll);
}

void IioAccelerometer::start()
{
    if (!readCalibration()) {
        sensorStopped();
        return;
    }
    const int rate = sensor()->dataRate() > 0 ? sensor()->dataRate() : defaultRate;
    // The first reading comes from the event loop, as later ones do, once
    // whoever started the sensor has connected to it.
    timer->start(1000 / rate);
}

void IioAccelerometer::stop()
{
    timer->stop();
}

// Offset, scale and mount matrix do not change while the phone runs; only
// the raw axes are read at every look.
bool IioAccelerometer::readCalibration()
{
    for (int axis = 0; axis < 3; ++axis) {
        offset[axis] = attribute(device, axis, "offset", 0.0);
        scale[axis] = attribute(device, axis, "scale", 1.0);
    }
    static const double identity[9] = { 1, 0, 0, 0, 1, 0, 0, 0, 1 };
    std::copy(identity, identity + 9, matrix);
    QString text = readText(device + QStringLiteral("/in_accel_mount_matrix"));
    if (text.isEmpty())
        text = readText(device + QStringLiteral("/mount_matrix"));
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
    double axes[3];
    return readAxes(axes);
}

bool IioAccelerometer::readAxes(double axes[3]) const
{
    double raw[3];
    for (int axis = 0; axis < 3; ++axis) {
        if (!readNumber(
                device + QStringLiteral("/in_accel_%1_raw").arg(axisNames[axis]), &raw[axis]))
            return false;
        raw[axis] = (raw[axis] + offset[axis]) * scale[axis];
    }
    for (int row = 0; row < 3; ++row)
        axes[row] = matrix[row * 3] * raw[0] + matrix[row * 3 + 1] * raw[1]
            + matrix[row * 3 + 2] * raw[2];
    return true;
}

// A device that has gone, or reads garbage, gives no reading; the last one
// stands.
void IioAccelerometer::poll()
{
    double axes[3];
    if (!readAxes(axes))
        return;
    // IIO reports the gravity vector (face up: z about -9.8); QAccelerometer
    // reports the opposite.
    reading.setX(-axes[0]);
    reading.setY(-axes[1]);
    reading.setZ(-axes[2]);
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    reading.setTimestamp(quint64(clock.nsecsElapsed() / 1000));
    newReadingAvailable();
}
