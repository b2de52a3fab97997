#ifndef PREFERENCES_H
#define PREFERENCES_H

#include <QString>
#include <QVector>

// The user's settings, mirrored line by line in "alarm.conf" in the working
// directory. Values are kept as text and converted on every access, so a
// setting applied on the settings tab is seen by the next caller at once.
class preferences {
public:
    preferences();

    QString get(int key);
    void set(int key, QString value);

    QString getSoundFileName();
    void setSoundFileName(QString value);
    QString getTime();
    void setTime(QString value);
    bool getStoppBySound();
    void setStoppBySound(bool sound);
    bool getStoppByAccelerometer();
    void setStoppByAccelerometer(bool accelerometer);
    int getSensitivityAccelerometer();
    void setSensitivityAccelerometer(int sensitivity);
    bool getStoppByOrientation();
    void setStoppByOrientation(bool flip);

private:
    QVector<QString> vector;

    void write();
};

#endif // PREFERENCES_H
