// The floor for what the alarm clock costs while it waits: a Qt program
// that does nothing but wait on one timer, three hours long.

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTimer::singleShot(3 * 3600 * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
