#include "app/command_line.h"

#include "app/automation_names.h"

namespace vantrel {

namespace {

bool IsSwitch(const QString& argument, QStringView word) {
    if (argument.size() != word.size() + 1) {
        return false;
    }
    const QChar lead = argument.front();
    return (lead == u'/' || lead == u'-') && QStringView(argument).sliced(1) == word;
}

}  // namespace

bool TakeSwitch(QStringList& commandLine, QStringView word) {
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        if (IsSwitch(commandLine.at(i), word)) {
            commandLine.removeAt(i);
            return true;
        }
    }
    return false;
}

StartMode TakeStartSwitch(QStringList& commandLine) {
    if (TakeSwitch(commandLine, kEmbeddingSwitch)) {
        return StartMode::Embedded;
    }
    if (TakeSwitch(commandLine, kAutomationSwitch)) {
        return StartMode::Automated;
    }
    return StartMode::User;
}

TraceRequest TakeTraceOption(QStringList& commandLine) {
    static const QString kOption = QStringLiteral("--trace");
    TraceRequest request;
    for (qsizetype i = 0; i < commandLine.size();) {
        const QString& argument = commandLine.at(i);
        const bool joined = argument.startsWith(kOption + u'=');
        if (argument != kOption && !joined) {
            ++i;
            continue;
        }
        if (!request.path.isEmpty()) {
            request.error = QStringLiteral("--trace is given more than once");
            return request;
        }
        const bool hasValue = joined || i + 1 < commandLine.size();
        request.path = joined ? argument.mid(kOption.size() + 1)
                              : (hasValue ? commandLine.at(i + 1) : QString());
        commandLine.remove(i, joined || !hasValue ? 1 : 2);
        if (request.path.isEmpty()) {
            request.error = QStringLiteral("--trace needs a file: --trace FILE");
            return request;
        }
    }
    return request;
}

}  // namespace vantrel
