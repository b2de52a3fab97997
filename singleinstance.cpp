#include "singleinstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace {

const QString name = QStringLiteral(ALARMCLOCK_APP_ID);

// The object path the desktop derives from the application's name.
QString objectPath()
{
    return QLatin1Char('/') + QString(name).replace(QLatin1Char('.'), QLatin1Char('/'));
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
}

bool SingleInstance::claim(bool show)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return true;
    bus.registerObject(objectPath(), this, QDBusConnection::ExportScriptableSlots);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply
        = bus.interface()->registerService(name, QDBusConnectionInterface::DontQueueService,
            QDBusConnectionInterface::DontAllowReplacement);
    // A bus that answers nothing useful cannot keep two programs apart.
    if (!reply.isValid() || reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return true;
    bus.unregisterObject(objectPath());
    if (show) {
        QDBusMessage activate = QDBusMessage::createMethodCall(name, objectPath(),
            QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
        activate.setArguments({ QVariantMap() });
        bus.call(activate, QDBus::Block, 5000);
    }
    return false;
}

void SingleInstance::Activate(const QVariantMap &platformData)
{
    Q_UNUSED(platformData)
    emit activated();
}

void SingleInstance::Open(const QStringList &uris, const QVariantMap &platformData)
{
    Q_UNUSED(uris)
    Activate(platformData);
}

void SingleInstance::ActivateAction(
    const QString &action, const QVariantList &parameter, const QVariantMap &platformData)
{
    Q_UNUSED(action)
    Q_UNUSED(parameter)
    Activate(platformData);
}
