#pragma once

#include <QString>

namespace vantrel {

// Names under which the automation object is offered on the session bus. They are the
// program's interface to other programs: never change them.

// The well-known bus name of a copy that waits for its client, and the activation entry's name.
inline const QString kBusName = QStringLiteral("VantrelDistribution.Application");
// The class factory: CreateInstance() hands out the automation object, Release(path) lets it go.
inline const QString kFactoryPath = QStringLiteral("/ClassFactory");
inline const QString kFactoryInterface = QStringLiteral("VantrelDistribution.ClassFactory");
// The automation object itself; it has no methods or properties.
inline const QString kObjectPath = QStringLiteral("/Application");
inline const QString kObjectInterface = QStringLiteral("VantrelDistribution.Application");

// Errors the class factory answers with.
inline const QString kErrorInUse = QStringLiteral("VantrelDistribution.Error.InUse");
inline const QString kErrorNotHolder = QStringLiteral("VantrelDistribution.Error.NotHolder");
inline const QString kErrorUnknownObject =
    QStringLiteral("VantrelDistribution.Error.UnknownObject");

// Command-line switches (after "/" or "-"), letter case as given.
inline const QString kEmbeddingSwitch = QStringLiteral("Embedding");
inline const QString kAutomationSwitch = QStringLiteral("Automation");

}  // namespace vantrel
