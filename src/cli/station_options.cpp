#include "station_options.h"

#include "command_line.h"

namespace vantrel::cli {

StationParseResult ParseStationOptions(const std::vector<std::string>& args) {
    std::vector<std::string> line = {"station"};
    line.insert(line.end(), args.begin(), args.end());
    CommandLine commandLine("vantrel");
    StationParseResult result;
    result.error = commandLine.Parse(line);
    result.ok = result.error.empty();
    result.options = commandLine.station();
    return result;
}

std::string TraceFolderOf(const StationOptions& options) {
    if (!options.traceFolder.empty() || options.recordFile.empty()) {
        return options.traceFolder;
    }
    const std::size_t slash = options.recordFile.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : options.recordFile.substr(0, slash);
}

std::string StationUsageText(const std::string& program) {
    return CommandLine(program).StationUsage();
}

}  // namespace vantrel::cli
