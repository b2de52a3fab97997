#include "iioaccelerometer.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    // Lets Wayland shells match the window to its desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral(ALARMCLOCK_APP_ID));
    // Linux phones show their accelerometer only as an IIO device.
    IioAccelerometer::registerIfPresent();
    MainWindow w;
    w.show();
    return a.exec();
}
