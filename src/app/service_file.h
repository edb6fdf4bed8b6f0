#pragma once

#include <QString>

namespace vantrel {

// The activation entry of the automation object for the session bus:
// $XDG_DATA_HOME/dbus-1/services/VantrelDistribution.Application.service, with
// ~/.local/share in place of an unset $XDG_DATA_HOME.
QString ServiceFilePath();

// The Exec value that starts `programPath` with "-Embedding", the path quoted so that the bus
// daemon's shell-like splitting gives it back unchanged. Empty when no Exec line can carry the
// path (it is empty or holds a line break or another control character).
QString ServiceExecValue(const QString& programPath);

// Whether a normal start of `programPath` should write its per-user activation entry. Not when
// that entry is absent and one in a system data folder ($XDG_DATA_DIRS, by default
// /usr/local/share and /usr/share) already starts the same program: the installed one would
// only be shadowed, and the bus would keep starting an old path after an update or removal.
// An existing per-user entry is always refreshed, since it shadows the system one anyway.
bool UserServiceFileNeeded(const QString& programPath);

// Creates or refreshes the service file at `filePath` so that activating the bus name starts
// `programPath -Embedding`: missing folders and the file are created, the Name and Exec keys
// are set, and any other line already in the file is kept. The file is replaced as a whole,
// so the bus daemon never reads half of it. False when it cannot be written; the caller goes on
// starting up either way.
bool UpdateServiceFile(const QString& filePath, const QString& programPath);

}  // namespace vantrel
