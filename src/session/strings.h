#pragma once

#include <string>

namespace vantrel {

// Ids of the string table (res/strings.def).
enum class Str : int {
#define VANTREL_STRING(id, name, text) name = id,
#include "strings.def"
#undef VANTREL_STRING
};

// The text of a string-table entry; empty for an id the table does not hold.
const std::string& LoadString(int id);
inline const std::string& LoadString(Str id) {
    return LoadString(static_cast<int>(id));
}

// printf-style formatting of a string-table text with one argument, as the program uses
// its %02d, %s and %2.0f entries.
std::string FormatString(Str id, int value);
std::string FormatString(Str id, const std::string& value);
std::string FormatString(Str id, double value);

}  // namespace vantrel
