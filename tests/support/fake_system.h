#pragma once

// A made-up machine for the doctor, the job check and the port list: files, devices, links,
// processes, the user and the port list, all in memory. Paths are absolute; a link is
// followed only as a whole path (as /dev/serial/by-path and /proc/PID/fd links are used).

#include <sys/sysmacros.h>

#include <filesystem>
#include <map>
#include <set>

#include "cli/system_view.h"

namespace vantrel::test {

class FakeSystem final : public cli::SystemView {
public:
    struct Node {
        enum class Kind { Device, File, Folder, Link } kind = Kind::File;
        std::string text;  // a file's contents, a link's target
        cli::FileStatus status;
    };

    void Device(const std::string& path, unsigned major, unsigned minor, unsigned mode = 0660,
                unsigned gid = kDialout) {
        cli::FileStatus status{cli::FileStatus::Kind::CharDevice, mode, 0, gid,
                               makedev(major, minor)};
        nodes[path] = {Node::Kind::Device, {}, status};
    }
    void File(const std::string& path, const std::string& text) {
        nodes[path] = {Node::Kind::File, text, {cli::FileStatus::Kind::Regular, 0644, 0, 0, 0}};
    }
    void Folder(const std::string& path) {
        nodes[path] = {Node::Kind::Folder, {}, {cli::FileStatus::Kind::Directory, 0755, 0, 0, 0}};
    }
    // `target` absolute, or relative to the link's folder.
    void Link(const std::string& path, const std::string& target) {
        nodes[path] = {Node::Kind::Link, target, {}};
    }
    // A running process and the files it holds open; `visible` false: another user's.
    void Process(int pid, const std::string& program, const std::vector<std::string>& open = {},
                 bool visible = true) {
        const std::string dir = "/proc/" + std::to_string(pid);
        File(dir + "/comm", program + "\n");
        Folder(dir + "/fd");
        for (std::size_t fd = 0; fd < open.size(); ++fd) {
            Link(dir + "/fd/" + std::to_string(fd), open[fd]);
        }
        if (!visible) {
            hidden.insert(dir + "/fd");
        }
    }

    std::optional<cli::FileStatus> Stat(const std::string& path) const override {
        const std::string real = Canonical(path);
        if (real.empty()) {
            return std::nullopt;
        }
        const auto it = nodes.find(real);
        return it != nodes.end() ? it->second.status
                                 : cli::FileStatus{cli::FileStatus::Kind::Directory, 0755, 0, 0, 0};
    }
    std::string Canonical(const std::string& path) const override {
        std::string at = path;
        for (int hops = 0; hops < 40; ++hops) {
            const auto it = nodes.find(at);
            if (it == nodes.end()) {
                return IsFolder(at) ? at : std::string();
            }
            if (it->second.kind != Node::Kind::Link) {
                return at;
            }
            at = (std::filesystem::path(at).parent_path() / it->second.text)
                     .lexically_normal()
                     .string();
        }
        return {};
    }
    std::string LinkTarget(const std::string& path) const override {
        const auto it = nodes.find(path);
        return it != nodes.end() && it->second.kind == Node::Kind::Link ? it->second.text : "";
    }
    std::optional<std::vector<std::string>> List(const std::string& folder) const override {
        if (hidden.count(folder) != 0 || !IsFolder(folder)) {
            return std::nullopt;
        }
        std::set<std::string> names;
        for (const auto& [path, node] : nodes) {
            if (path.rfind(folder + "/", 0) == 0) {
                const std::string rest = path.substr(folder.size() + 1);
                names.insert(rest.substr(0, rest.find('/')));
            }
        }
        return std::vector<std::string>(names.begin(), names.end());
    }
    std::optional<std::string> Read(const std::string& path) const override {
        const auto it = nodes.find(Canonical(path));
        return it != nodes.end() && it->second.kind == Node::Kind::File
                   ? std::optional<std::string>(it->second.text)
                   : std::nullopt;
    }
    cli::UserCredentials User() const override { return user; }
    std::string GroupName(unsigned gid) const override {
        return gid == kDialout ? "dialout" : gid == 0 ? "root" : std::to_string(gid);
    }
    int OwnPid() const override { return kOwnPid; }
    std::vector<PortEntry> Ports() const override { return ports; }
    std::string Resolve(const std::string& name) const override {
        for (const PortEntry& entry : ports) {
            if (entry.name == name) {
                return Canonical(entry.device);
            }
        }
        if (name.rfind("COM", 0) == 0) {
            return {};
        }
        const std::string real = Canonical(name);
        return real.empty() ? name : real;
    }
    cli::OpenTrial TryOpen(const std::string& device) override {
        opened.push_back(device);
        return trial;
    }

    static constexpr unsigned kDialout = 20;
    static constexpr int kOwnPid = 4000;

    std::map<std::string, Node> nodes;
    std::set<std::string> hidden;  // folders this user may not list
    cli::UserCredentials user{1000, "tech", {1000, kDialout}, {1000, kDialout}};
    std::vector<PortEntry> ports;
    cli::OpenTrial trial;
    std::vector<std::string> opened;  // devices TryOpen was asked for

private:
    bool IsFolder(const std::string& path) const {
        const auto node = nodes.find(path);
        if (node != nodes.end()) {
            return node->second.kind == Node::Kind::Folder;
        }
        const auto it = nodes.lower_bound(path + "/");
        return path == "/" || (it != nodes.end() && it->first.rfind(path + "/", 0) == 0);
    }
};

}  // namespace vantrel::test
