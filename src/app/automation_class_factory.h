#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QObject>
#include <QString>
#include <memory>

class CVantrelDistributionApp;
class CVantrelDistributionDlgAutoProxy;

namespace vantrel {

// The automation object as the bus sees it: interface VantrelDistribution.Application, with
// no methods or properties of its own.
class AutomationObject : public QDBusVirtualObject {
    Q_OBJECT
public:
    QString introspect(const QString& path) const override;
    // Answers Introspect with the interface above and every other call with the bus's
    // unknown-method error.
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
};

// The class factory of the automation object, offered on the session bus at /ClassFactory
// (interface VantrelDistribution.ClassFactory) under the well-known name
// VantrelDistribution.Application.
//
// One copy serves one object: the first CreateInstance() hands out the object and gives up the
// name, so that the bus starts another copy for the next client. The caller of CreateInstance()
// holds the object until it calls Release() or leaves the bus (its process ends or dies), or
// until this copy loses the bus; the release ends the application unless the operator is
// busy with one of the window's boxes.
class AutomationClassFactory : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "VantrelDistribution.ClassFactory")
public:
    AutomationClassFactory(QDBusConnection bus, CVantrelDistributionApp& app);
    // Revokes the factory (see Revoke).
    ~AutomationClassFactory() override;
    AutomationClassFactory(const AutomationClassFactory&) = delete;
    AutomationClassFactory& operator=(const AutomationClassFactory&) = delete;

    // Exports the factory and takes the well-known name. False, with `why` set to a sentence
    // for the operator, when there is no session bus or the name is refused; nothing stays
    // offered then.
    bool Register(QString& why);

    // Takes the factory and any object it handed out off the bus and gives up the name. An
    // object still held is dropped without ending the application: it is ending already.
    void Revoke();

public Q_SLOTS:
    // Creates the automation object for the caller, who holds it from now on; returns its
    // object path. Refused with VantrelDistribution.Error.InUse once this copy has handed out
    // its object.
    Q_SCRIPTABLE QDBusObjectPath CreateInstance();

    // Lets the object at `path` go. Only its holder may; others get
    // VantrelDistribution.Error.NotHolder, an unknown path VantrelDistribution.Error.UnknownObject.
    Q_SCRIPTABLE void Release(const QDBusObjectPath& path);

private:
    void GiveUpName();
    void WatchHolder(const QString& holder);
    void DropObject();
    void ReleaseObject();

    QDBusConnection m_bus;
    CVantrelDistributionApp& m_app;
    AutomationObject m_busObject;
    std::unique_ptr<CVantrelDistributionDlgAutoProxy> m_proxy;
    QString m_holder;
    QDBusServiceWatcher m_holderWatch;
    bool m_registered = false;
    bool m_ownsName = false;
    bool m_servedOne = false;
};

}  // namespace vantrel
