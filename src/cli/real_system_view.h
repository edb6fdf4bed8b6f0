#pragma once

#include "system_view.h"

namespace vantrel::cli {

// The machine itself: the system calls behind SystemView, the port list of the real serial
// adapter, and a trial open through it.
//
// Thread contract: as SystemView; the user and group look-ups are not reentrant.
class RealSystemView final : public SystemView {
public:
    std::optional<FileStatus> Stat(const std::string& path) const override;
    std::string Canonical(const std::string& path) const override;
    std::string LinkTarget(const std::string& path) const override;
    std::optional<std::vector<std::string>> List(const std::string& folder) const override;
    std::optional<std::string> Read(const std::string& path) const override;
    UserCredentials User() const override;
    std::string GroupName(unsigned gid) const override;
    int OwnPid() const override;
    std::vector<PortEntry> Ports() const override;
    std::string Resolve(const std::string& nameOrDevice) const override;
    OpenTrial TryOpen(const std::string& device) override;
};

}  // namespace vantrel::cli
