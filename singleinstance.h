#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QObject>
#include <QVariantList>
#include <QVariantMap>

// One alarm clock per user, as the desktop keeps its applications: the
// program that starts first owns the application's name on the session bus
// and answers org.freedesktop.Application there; one started while it runs
// asks it to show its window, and ends. Without a session bus every
// program runs on its own.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit SingleInstance(QObject *parent = nullptr);

    // True when this program is the one that runs; false when another one
    // already does (which has then been asked to show itself, if `show`).
    bool claim(bool show);

    // The interface's methods, named as it names them.
public slots:
    Q_SCRIPTABLE void Activate(const QVariantMap &platformData);
    Q_SCRIPTABLE void Open(const QStringList &uris, const QVariantMap &platformData);
    Q_SCRIPTABLE void ActivateAction(
        const QString &action, const QVariantList &parameter, const QVariantMap &platformData);

signals:
    // The desktop, or a second start, asks for the window.
    void activated();
};

#endif // SINGLEINSTANCE_H
