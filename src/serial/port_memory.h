#pragma once

#include <string>
#include <vector>

namespace vantrel {

// The remembered port: BootLoader.ini in $XDG_CONFIG_HOME/vantrel/ (by default
// ~/.config/vantrel/), holding the selected port's name and a line feed.
std::string PortMemoryPath();

// Reads the file at `path` as white-space separated tokens. Each token selects the first of
// `entries` (the sorted port list) whose text begins with it, letters compared without regard
// to case, or no entry when none does: the last token decides. Returns the index selected
// afterwards, -1 for none; a missing or unreadable file keeps `selected`.
int LoadPortMemory(const std::string& path, const std::vector<std::string>& entries, int selected);

// Writes `selectedText` and a line feed to `path`, replacing the file as a whole so that an
// interrupted write never leaves it half written. False when it cannot be written; nothing
// else is lost.
bool SavePortMemory(const std::string& path, const std::string& selectedText);

}  // namespace vantrel
