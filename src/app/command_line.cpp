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

}  // namespace vantrel
