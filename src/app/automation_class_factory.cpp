#include "app/automation_class_factory.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>

#include "app/automation_names.h"
#include "app/vantrel_distribution_app.h"
#include "ui/automation_proxy.h"

namespace vantrel {

namespace {

const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
const QString kBusInterface = QStringLiteral("org.freedesktop.DBus");

const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kIntrospectionHead = QStringLiteral(
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n");
const QString kIntrospectionTail = QStringLiteral(
    "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "    <method name=\"Introspect\">\n"
    "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n"
    "</node>\n");

QDBusMessage BusCall(const QString& method, const QString& argument) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kBusService, kBusPath, kBusInterface, method);
    call << argument;
    return call;
}

}  // namespace

QString AutomationObject::introspect(const QString& /*path*/) const {
    return QStringLiteral("  <interface name=\"%1\"/>\n").arg(kObjectInterface);
}

bool AutomationObject::handleMessage(const QDBusMessage& message,
                                     const QDBusConnection& connection) {
    if (message.type() != QDBusMessage::MethodCallMessage) {
        return false;
    }
    if (!message.isReplyRequired()) {
        return true;
    }
    if (message.interface() == kIntrospectable && message.member() == u"Introspect") {
        connection.send(message.createReply(kIntrospectionHead + introspect(message.path()) +
                                            kIntrospectionTail));
    } else {
        connection.send(
            message.createErrorReply(QDBusError::UnknownMethod,
                                     QStringLiteral("%1 has no method %2.%3")
                                         .arg(kObjectPath, message.interface(), message.member())));
    }
    return true;
}

AutomationClassFactory::AutomationClassFactory(QDBusConnection bus, CVantrelDistributionApp& app)
    : m_bus(std::move(bus)), m_app(app) {
    m_holderWatch.setConnection(m_bus);
    // The holder's unique name goes when its process ends or dies, and QtDBus reports every
    // watched name as gone when this copy's own bus connection drops: both release.
    m_holderWatch.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(&m_holderWatch, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString& name) {
                if (m_proxy && name == m_holder) {
                    ReleaseObject();
                }
            });
}

AutomationClassFactory::~AutomationClassFactory() {
    Revoke();
}

bool AutomationClassFactory::Register(QString& why) {
    if (!m_bus.isConnected()) {
        why = QStringLiteral("no session bus (%1)").arg(m_bus.lastError().message());
        return false;
    }
    if (!m_bus.registerObject(kFactoryPath, this, QDBusConnection::ExportScriptableSlots)) {
        why = QStringLiteral("the object %1 cannot be offered (%2)")
                  .arg(kFactoryPath, m_bus.lastError().message());
        return false;
    }
    m_registered = true;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        m_bus.interface()->registerService(kBusName, QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        why = QStringLiteral("the name %1 cannot be taken (%2)")
                  .arg(kBusName, reply.error().message());
    } else if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        why = QStringLiteral("the name %1 is taken by another program").arg(kBusName);
    } else {
        m_ownsName = true;
        return true;
    }
    Revoke();
    return false;
}

void AutomationClassFactory::Revoke() {
    m_holderWatch.setWatchedServices({});
    DropObject();
    if (m_registered) {
        m_bus.unregisterObject(kFactoryPath);
        m_registered = false;
    }
    GiveUpName();
}

QDBusObjectPath AutomationClassFactory::CreateInstance() {
    if (m_servedOne) {
        sendErrorReply(kErrorInUse,
                       QStringLiteral("This copy already serves one client; ask %1 for another.")
                           .arg(kBusName));
        return {};
    }
    m_servedOne = true;
    m_proxy = std::make_unique<CVantrelDistributionDlgAutoProxy>();
    m_app.LockApp();
    m_proxy->Attach(m_app.MainWindow());
    m_bus.registerVirtualObject(kObjectPath, &m_busObject);
    WatchHolder(message().service());
    GiveUpName();
    return QDBusObjectPath(kObjectPath);
}

void AutomationClassFactory::Release(const QDBusObjectPath& path) {
    if (!m_proxy || path.path() != kObjectPath) {
        sendErrorReply(kErrorUnknownObject,
                       QStringLiteral("No automation object at %1.").arg(path.path()));
    } else if (message().service() != m_holder) {
        sendErrorReply(kErrorNotHolder,
                       QStringLiteral("Only the client that created the object may release it."));
    } else {
        ReleaseObject();
    }
}

void AutomationClassFactory::GiveUpName() {
    if (!m_ownsName) {
        return;
    }
    m_ownsName = false;
    // Sent without waiting: it goes out ahead of the reply to CreateInstance, so a client that
    // has its object already finds the name free and gets a new copy through activation.
    m_bus.asyncCall(BusCall(QStringLiteral("ReleaseName"), kBusName));
}

void AutomationClassFactory::WatchHolder(const QString& holder) {
    m_holder = holder;
    m_holderWatch.setWatchedServices({holder});
    // A holder that left before the watch took effect must not keep the object forever: ask
    // the bus once more after the watch is in place.
    auto* pending = new QDBusPendingCallWatcher(
        m_bus.asyncCall(BusCall(QStringLiteral("NameHasOwner"), holder)), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, holder](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<bool> reply = *call;
                if (reply.isValid() && !reply.value() && m_proxy && m_holder == holder) {
                    ReleaseObject();
                }
            });
}

void AutomationClassFactory::DropObject() {
    if (!m_proxy) {
        return;
    }
    m_holderWatch.setWatchedServices({});
    m_holder.clear();
    m_bus.unregisterObject(kObjectPath);
    m_proxy.reset();
}

void AutomationClassFactory::ReleaseObject() {
    DropObject();
    m_app.UnlockApp();
}

}  // namespace vantrel
