#include "app/service_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

#include "app/automation_names.h"

namespace vantrel {

namespace {

const QString kSectionHeader = QStringLiteral("[D-BUS Service]");

bool IsPlainPathCharacter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           QStringView(u"/_.,+-:@").contains(c);
}

// The key of a "Key=value" line, blanks around it dropped; empty for any other line.
QStringView KeyOf(QStringView line) {
    const qsizetype equals = line.indexOf(u'=');
    return equals < 0 ? QStringView() : line.first(equals).trimmed();
}

QStringList ReadLines(const QString& filePath) {
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (QString& line : lines) {
        if (line.endsWith(u'\r')) {
            line.chop(1);
        }
    }
    while (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// Sets `key` in the section that starts at `header`: the first line with that key takes the
// new value, later ones go, and a missing key is added after the section's last entry.
void SetKey(QStringList& lines, qsizetype header, QStringView key, const QString& value) {
    const QString entry = key.toString() + u'=' + value;
    bool set = false;
    qsizetype end = header + 1;
    qsizetype i = header + 1;
    while (i < lines.size() && !lines.at(i).startsWith(u'[')) {
        if (KeyOf(lines.at(i)) != key) {
            end = lines.at(i).trimmed().isEmpty() ? end : i + 1;
            ++i;
        } else if (!set) {
            lines[i++] = entry;
            end = i;
            set = true;
        } else {
            lines.removeAt(i);
        }
    }
    if (!set) {
        lines.insert(end, entry);
    }
}

// Where the bus looks for the entry below each data folder.
QString ServiceFileInDataFolder() {
    return QStringLiteral("/dbus-1/services/") + kBusName + QStringLiteral(".service");
}

// True when the file at `filePath` is an activation entry for the bus name whose Exec is
// `exec`.
bool StartsProgram(const QString& filePath, const QString& exec) {
    const QStringList lines = ReadLines(filePath);
    const qsizetype header = lines.indexOf(kSectionHeader);
    bool named = false;
    bool execs = false;
    for (qsizetype i = header + 1; header >= 0 && i < lines.size(); ++i) {
        if (lines.at(i).startsWith(u'[')) {
            break;
        }
        const QStringView line = lines.at(i);
        const QStringView key = KeyOf(line);
        const QStringView value = line.sliced(line.indexOf(u'=') + 1).trimmed();
        named = named || (key == u"Name" && value == kBusName);
        execs = execs || (key == u"Exec" && value == exec);
    }
    return named && execs;
}

}  // namespace

bool UserServiceFileNeeded(const QString& programPath) {
    const QString userFile = ServiceFilePath();
    if (QFile::exists(userFile)) {
        return true;
    }
    const QString exec = ServiceExecValue(programPath);
    QStringList dataFolders =
        QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    dataFolders.removeAll(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    for (const QString& folder : dataFolders) {
        if (StartsProgram(folder + ServiceFileInDataFolder(), exec)) {
            return false;
        }
    }
    return true;
}

QString ServiceFilePath() {
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return dataHome + ServiceFileInDataFolder();
}

QString ServiceExecValue(const QString& programPath) {
    if (programPath.isEmpty()) {
        return {};
    }
    bool plain = true;
    for (const QChar c : programPath) {
        if (c.category() == QChar::Other_Control) {
            return {};
        }
        plain = plain && IsPlainPathCharacter(c);
    }
    QString quoted = programPath;
    if (!plain) {
        // The daemon splits Exec like a shell: inside single quotes every character stands
        // for itself, and a quote is closed, escaped and reopened.
        quoted.replace(u'\'', QStringLiteral("'\\''"));
        quoted = u'\'' + quoted + u'\'';
        // Before splitting, it reads the value as a desktop-file string, where a backslash
        // starts an escape: a literal one is written twice.
        quoted.replace(u'\\', QStringLiteral("\\\\"));
    }
    return quoted + QStringLiteral(" -") + kEmbeddingSwitch;
}

bool UpdateServiceFile(const QString& filePath, const QString& programPath) {
    const QString exec = ServiceExecValue(programPath);
    if (exec.isEmpty() || !QDir().mkpath(QFileInfo(filePath).absolutePath())) {
        return false;
    }
    QStringList lines = ReadLines(filePath);
    qsizetype header = lines.indexOf(kSectionHeader);
    if (header < 0) {
        lines.prepend(kSectionHeader);
        header = 0;
    }
    SetKey(lines, header, u"Name", kBusName);
    SetKey(lines, header, u"Exec", exec);

    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write((lines.join(u'\n') + u'\n').toUtf8());
    return file.commit();
}

}  // namespace vantrel
