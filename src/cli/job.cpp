#include "job.h"

#include <toml++/toml.h>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>

#include "session/image_file.h"
#include "station_options.h"

namespace vantrel::cli {

namespace {

constexpr const char* kTopKeys = "image, sha256, functions, models, record, count, wait, [[slot]]";
constexpr const char* kSlotKeys = "name, port";
// Characters of a SHA-256 in hex, as sha256sum prints it.
constexpr std::size_t kSha256Digits = 64;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Collects the errors of one job file, each with the file and the line, and hands them on
// in the order of their lines when it goes.
class Reader {
public:
    Reader(std::string path, std::vector<std::string>& errors)
        : m_path(std::move(path)), m_errors(errors) {}
    ~Reader() {
        std::stable_sort(m_found.begin(), m_found.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [line, what] : m_found) {
            m_errors.push_back(m_path + (line > 0 ? ":" + std::to_string(line) : "") + ": " + what);
        }
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    void Error(int line, const std::string& what) { m_found.emplace_back(line, what); }
    bool Failed() const { return !m_found.empty() || !m_errors.empty(); }
    static int Line(const toml::node& node) { return static_cast<int>(node.source().begin.line); }
    static int Line(const toml::key& key) { return static_cast<int>(key.source().begin.line); }

    std::optional<std::string> Text(const toml::node& node, const std::string& key) {
        if (!node.is_string()) {
            Error(Line(node), key + " must be a string in double quotes");
            return std::nullopt;
        }
        std::string text = node.as_string()->get();
        if (text.empty()) {
            Error(Line(node), key + " has no value (\"\")");
            return std::nullopt;
        }
        return text;
    }

    std::optional<int> Number(const toml::node& node, const std::string& key, int high) {
        if (!node.is_integer() || node.as_integer()->get() < 0 || node.as_integer()->get() > high) {
            Error(Line(node), key + " must be a whole number from 0 to " + std::to_string(high));
            return std::nullopt;
        }
        return static_cast<int>(node.as_integer()->get());
    }

    // A path written in the job: relative to the job file's folder.
    std::string Path(const std::string& written) const {
        return (std::filesystem::path(m_path).parent_path() / written).lexically_normal().string();
    }

private:
    std::string m_path;
    std::vector<std::string>& m_errors;
    std::vector<std::pair<int, std::string>> m_found;
};

std::string FunctionList() {
    std::string list;
    for (Function f : {Function::BlankCheck, Function::MemoryTest, Function::Erase,
                       Function::Download, Function::Auto, Function::Restart}) {
        list += (list.empty() ? "" : ", ") + FunctionName(f);
    }
    return list;
}

bool IsHex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsSlotName(const std::string& name) {
    return name.size() <= job_limits::kMaxSlotName &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == ':';
           });
}

void ReadFunctions(Reader& reader, const toml::node& node, Job& job) {
    const toml::array* list = node.as_array();
    if (list == nullptr || list->empty()) {
        reader.Error(Reader::Line(node),
                     "functions must be a list of function names, such as "
                     "[\"auto\", \"restart\"]");
        return;
    }
    job.functions.clear();
    for (const toml::node& item : *list) {
        const auto function =
            item.is_string() ? FunctionFromName(item.as_string()->get()) : std::nullopt;
        if (!function) {
            const std::string shown =
                item.is_string() ? Quoted(item.as_string()->get()) : std::string("this");
            reader.Error(Reader::Line(item),
                         "functions: " + shown + " is no function (" + FunctionList() + ")");
            continue;
        }
        job.functions.push_back(*function);
    }
}

void ReadModels(Reader& reader, const toml::node& node, Job& job) {
    const toml::array* list = node.as_array();
    if (list == nullptr || list->empty()) {
        reader.Error(Reader::Line(node), "models must be a list of models, such as [0, 1]");
        return;
    }
    for (const toml::node& item : *list) {
        const std::int64_t model = item.is_integer() ? item.as_integer()->get() : -1;
        if (model < job_limits::kLowestModel || model > job_limits::kHighestModel) {
            reader.Error(Reader::Line(item), "models: each model is 0, 1 or 2");
            continue;
        }
        job.models.push_back(static_cast<int>(model));
    }
}

void ReadSlot(Reader& reader, const toml::table& table, Job& job) {
    JobSlot slot;
    slot.line = Reader::Line(table);
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        if (name == "name") {
            const auto text = reader.Text(node, "the slot's name");
            if (text && !IsSlotName(*text)) {
                reader.Error(Reader::Line(node), "a slot's name is at most " +
                                                     std::to_string(job_limits::kMaxSlotName) +
                                                     " letters, digits, '-', '_', '.' or ':'");
            }
            slot.name = text.value_or("");
        } else if (name == "port") {
            slot.port = reader.Text(node, "the slot's port").value_or("");
        } else {
            reader.Error(Reader::Line(key),
                         "unknown key \"" + name + "\" in a slot (a slot has " + kSlotKeys + ")");
        }
    }
    if (!table.contains("name") || !table.contains("port")) {
        reader.Error(slot.line, "a slot needs both a name and a port");
    }
    for (const JobSlot& other : job.fixture) {
        if (!slot.name.empty() && Lower(other.name) == Lower(slot.name)) {
            reader.Error(slot.line, "the slot name \"" + slot.name + "\" is used already (line " +
                                        std::to_string(other.line) + ")");
        }
        if (!slot.port.empty() && other.port == slot.port) {
            reader.Error(slot.line, "the port " + slot.port + " is used already by slot \"" +
                                        other.name + "\" (line " + std::to_string(other.line) +
                                        ")");
        }
    }
    job.fixture.push_back(slot);
}

void ReadSlots(Reader& reader, const toml::node& node, Job& job) {
    if (!node.is_array_of_tables()) {
        reader.Error(Reader::Line(node),
                     "slots are written [[slot]], a table for each, with a name and a port");
        return;
    }
    for (const toml::node& item : *node.as_array()) {
        ReadSlot(reader, *item.as_table(), job);
    }
}

void ReadKey(Reader& reader, const toml::key& key, const toml::node& node, Job& job) {
    const std::string name(key.str());
    if (name == "image") {
        if (const auto text = reader.Text(node, name)) {
            job.image = reader.Path(*text);
        }
        job.imageLine = Reader::Line(node);
    } else if (name == "sha256") {
        const std::string hash = reader.Text(node, name).value_or("");
        if (!hash.empty() && (hash.size() != kSha256Digits || !IsHex(hash))) {
            reader.Error(Reader::Line(node),
                         "sha256 must be 64 hexadecimal digits (what sha256sum prints)");
        }
        job.sha256 = Lower(hash);
        job.sha256Line = Reader::Line(node);
    } else if (name == "functions") {
        ReadFunctions(reader, node, job);
    } else if (name == "models") {
        ReadModels(reader, node, job);
    } else if (name == "record") {
        if (const auto text = reader.Text(node, name)) {
            job.record = reader.Path(*text);
        }
    } else if (name == "count") {
        job.count = reader.Number(node, name, kMaxStationCount).value_or(0);
    } else if (name == "wait") {
        job.waitSeconds = reader.Number(node, name, kMaxWaitSeconds).value_or(0);
    } else if (name == "slot") {
        ReadSlots(reader, node, job);
    } else {
        reader.Error(Reader::Line(key),
                     "unknown key \"" + name + "\" (a job has " + kTopKeys + ")");
    }
}

// The job file's text, bounded; nothing (with the error noted) when it cannot be one.
std::optional<std::string> FileText(Reader& reader, const std::string& path) {
    ImageFile file = OpenImageFile(path);
    if (!file.file) {
        reader.Error(0, "cannot be read: " + file.error);
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(file.size) > job_limits::kMaxFileBytes) {
        reader.Error(0, "is too large for a job (" + std::to_string(file.size) + " bytes)");
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(file.size), '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.file.get()));
    return text;
}

}  // namespace

bool Job::Allows(int model) const {
    return ModelAllowed(models, model);
}

namespace {

std::optional<Job> ParseJob(Reader& reader, const std::string& path) {
    const auto text = FileText(reader, path);
    if (!text) {
        return std::nullopt;
    }
    toml::table root;
    try {
        root = toml::parse(*text, path);
    } catch (const toml::parse_error& error) {
        reader.Error(static_cast<int>(error.source().begin.line), std::string(error.description()));
        return std::nullopt;
    }
    Job job;
    job.path = path;
    for (auto&& [key, node] : root) {
        ReadKey(reader, key, node, job);
    }
    if (!root.contains("image")) {
        reader.Error(0, "image is missing: name the image file");
    }
    if (!root.contains("sha256")) {
        reader.Error(0, "sha256 is missing: the image's SHA-256 (sha256sum IMAGE) is required");
    }
    if (!root.contains("slot")) {
        reader.Error(0, "no [[slot]]: name at least one slot with its port");
    }
    return reader.Failed() ? std::nullopt : std::optional<Job>(std::move(job));
}

}  // namespace

JobRead ReadJob(const std::string& path) {
    JobRead result;
    {
        Reader reader(path, result.errors);
        result.job = ParseJob(reader, path);
    }
    return result;
}

std::vector<SlotDevice> ResolveSlots(const Job& job, const SystemView& view,
                                     std::vector<std::string>& errors) {
    Reader reader(job.path, errors);
    std::vector<SlotDevice> devices;
    std::vector<std::pair<std::uint64_t, const JobSlot*>> seen;
    for (const JobSlot& slot : job.fixture) {
        SlotDevice device{view.Resolve(slot.port), false};
        const auto status = device.device.empty() ? std::nullopt : view.Stat(device.device);
        device.present = status && status->kind == FileStatus::Kind::CharDevice;
        if (device.present) {
            const auto same = std::find_if(seen.begin(), seen.end(),
                                           [&](const auto& s) { return s.first == status->rdev; });
            if (same != seen.end()) {
                reader.Error(slot.line,
                             "slot " + Quoted(slot.name) + " leads to the same device as slot " +
                                 Quoted(same->second->name) + " (line " +
                                 std::to_string(same->second->line) + "): " + device.device);
            }
            seen.emplace_back(status->rdev, &slot);
        }
        devices.push_back(device);
    }
    return devices;
}

std::string ImageMismatch(const Job& job, const ImageDigest& digest) {
    const std::string where = job.path + ":" + std::to_string(job.imageLine) + ": ";
    if (!digest.ok) {
        return where + "the image " + job.image + " cannot be used: " + digest.error;
    }
    if (digest.size == 0) {
        return where + "the image " + job.image + " is empty";
    }
    if (digest.fileSha256 != job.sha256) {
        return job.path + ":" + std::to_string(job.sha256Line) + ": the image " + job.image +
               " is not the job's: its SHA-256 is " + digest.fileSha256 + ", the job names " +
               job.sha256;
    }
    return {};
}

ReadyJob PrepareJob(const std::string& path, const SystemView& view) {
    ReadyJob ready;
    JobRead read = ReadJob(path);
    ready.errors = std::move(read.errors);
    if (!read.job) {
        return ready;
    }
    ready.image = DigestImageFile(read.job->image);
    if (std::string mismatch = ImageMismatch(*read.job, ready.image); !mismatch.empty()) {
        ready.errors.push_back(mismatch);
    }
    ResolveSlots(*read.job, view, ready.errors);
    if (ready.errors.empty()) {
        ready.job = std::move(read.job);
    }
    return ready;
}

int RunJobCheck(const std::string& path, const SystemView& view, std::FILE* out, std::FILE* err) {
    JobRead read = ReadJob(path);
    std::vector<std::string>& errors = read.errors;
    std::vector<SlotDevice> devices;
    ImageDigest digest;
    if (read.job) {
        const Job& job = *read.job;
        digest = DigestImageFile(job.image);
        if (std::string mismatch = ImageMismatch(job, digest); !mismatch.empty()) {
            errors.push_back(mismatch);
        }
        devices = ResolveSlots(job, view, errors);
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (!devices[i].present) {
                Reader(path, errors)
                    .Error(job.fixture[i].line, "slot " + Quoted(job.fixture[i].name) + ": " +
                                                    job.fixture[i].port +
                                                    " stands for no serial device now (is its "
                                                    "adapter plugged in?)");
            }
        }
    }
    if (!errors.empty()) {
        for (const std::string& error : errors) {
            std::fprintf(err, "%s\n", error.c_str());
        }
        return 2;
    }
    const Job& job = *read.job;
    std::string functions;
    for (Function f : job.functions) {
        functions += (functions.empty() ? "" : " ") + FunctionName(f);
    }
    std::string models;
    for (int model : job.models) {
        models += (models.empty() ? "" : ", ") + std::to_string(model);
    }
    std::fprintf(out, "image      %s (%lld bytes, SHA-256 as the job names)\n", job.image.c_str(),
                 static_cast<long long>(digest.size));
    std::fprintf(out, "functions  %s\nmodels     %s\nrecord     %s\n", functions.c_str(),
                 models.empty() ? "any" : models.c_str(),
                 job.record.empty() ? "none" : job.record.c_str());
    std::fprintf(out, "count      %s\nwait       %s\n",
                 job.count == 0 ? "until stopped" : std::to_string(job.count).c_str(),
                 job.waitSeconds == 0 ? "none" : (std::to_string(job.waitSeconds) + " s").c_str());
    for (std::size_t i = 0; i < job.fixture.size(); ++i) {
        const std::string& port = job.fixture[i].port;
        std::fprintf(out, "slot %-16s %s%s\n", job.fixture[i].name.c_str(), port.c_str(),
                     devices[i].device == port ? "" : ("  ->  " + devices[i].device).c_str());
    }
    return 0;
}

}  // namespace vantrel::cli
