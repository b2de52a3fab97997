#ifndef IIOACCELEROMETER_H
#define IIOACCELEROMETER_H

#include <QAccelerometerReading>
#include <QOrientationReading>
#include <QSensorBackend>
#include <QString>

// The accelerometer of a Linux phone, read from its IIO device in sysfs
// (in_accel_x_raw and its siblings), for QAccelerometer: the raw axes with
// their offset and scale, turned into the phone's frame by the mount
// matrix, in metres per second squared with the sign QAccelerometer uses
// (+9.8 on z for a phone lying face up). For QOrientationSensor, the
// orientation those readings show, when it changes.
class IioAccelerometer : public QSensorBackend {
    Q_OBJECT

public:
    static const char *const identifier;
    static const char *const orientationIdentifier;

    // Where the IIO devices are looked for: ALARMCLOCK_IIO_DIR, or the
    // kernel's /sys/bus/iio/devices.
    static QString devicesDirectory();
    // The first IIO device there that has an accelerometer, or none.
    static QString findDevice();
    // Makes this backend the default accelerometer and orientation sensor
    // when an IIO accelerometer exists and its readings have a known unit
    // (where ALARMCLOCK_IIO_DIR is set, over any other backend). True when
    // registered.
    static bool registerIfPresent();
    // Why an accelerometer that was found is not used; empty when it is, or
    // when none was found.
    static QString unusableReason();

    IioAccelerometer(const QString &device, QSensor *sensor);
    ~IioAccelerometer() override;

    void start() override;
    void stop() override;

    // A reading of the device, in the phone's frame, as IIO reports it.
    void deliver(const double axes[3], quint64 timestamp);
    // The device cannot be read: errno's value.
    void failed(int error);

    class Device;

private:
    Device *device;
    // One of the two is this backend's reading, as the sensor's type says.
    QAccelerometerReading reading;
    QOrientationReading orientationReading;
    bool orientation;
};

#endif // IIOACCELEROMETER_H
