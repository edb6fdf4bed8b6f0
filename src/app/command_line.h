#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

namespace vantrel {

// How the program was started, as its command line tells.
enum class StartMode {
    User,       // no automation switch: the operator started it
    Embedded,   // "-Embedding" or "/Embedding": started by D-Bus activation for a client
    Automated,  // "-Automation" or "/Automation": started to serve automation clients
};

// Looks for the switch `word` in `commandLine` (the arguments after the program's name). A
// switch is one argument made of "/" or "-" followed directly by the word, letter case as
// given; it may stand anywhere in the line. The first one found is removed. True when found.
bool TakeSwitch(QStringList& commandLine, QStringView word);

// Looks for "Embedding" and, only when it is absent, for "Automation", removing the switch
// found. User when neither is there.
StartMode TakeStartSwitch(QStringList& commandLine);

// What the command line asks of the wire trace.
struct TraceRequest {
    QString path;   // the trace file; empty without --trace
    QString error;  // why the request cannot be followed; empty when it can
};

// Looks for "--trace FILE" or "--trace=FILE" in `commandLine` and removes it. An error when
// --trace has no file or is given twice.
TraceRequest TakeTraceOption(QStringList& commandLine);

}  // namespace vantrel
