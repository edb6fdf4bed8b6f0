#include "strings.h"

#include <cstdio>
#include <map>

namespace vantrel {

namespace {

const std::map<int, std::string>& Table() {
    static const std::map<int, std::string> table = {
#define VANTREL_STRING(id, name, text) {id, text},
#include "strings.def"
#undef VANTREL_STRING
    };
    return table;
}

template <typename T>
std::string Format(Str id, T value) {
    const std::string& format = LoadString(id);
    // The entries are fixed texts with exactly one conversion of the argument's kind.
    const int size = std::snprintf(nullptr, 0, format.c_str(), value);
    if (size < 0) {
        return format;
    }
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), format.c_str(), value);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

}  // namespace

const std::string& LoadString(int id) {
    static const std::string empty;
    const auto& table = Table();
    const auto it = table.find(id);
    return it == table.end() ? empty : it->second;
}

std::string FormatString(Str id, int value) {
    return Format(id, value);
}
std::string FormatString(Str id, const std::string& value) {
    return Format(id, value.c_str());
}
std::string FormatString(Str id, double value) {
    return Format(id, value);
}

}  // namespace vantrel
