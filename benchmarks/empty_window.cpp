// The floor for the start-up figure: an empty Qt main window with the
// program's title, shown as soon as the event loop runs.

#include <QApplication>
#include <QMainWindow>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("MainWindow"));
    window.resize(600, 400);
    window.show();
    return app.exec();
}
