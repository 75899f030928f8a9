#include "app/Shell/BVDiagnostics.h"

#include <sys/stat.h>

#include <filesystem>

#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/ProcessRunner.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kCopyOptions = fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                              fs::copy_options::overwrite_existing;

// Copies what exists; a source that vanished meanwhile is only logged.
void copyInto(const std::string& source, const fs::path& target) {
    std::error_code ec;
    if (fs::symlink_status(source, ec).type() == fs::file_type::not_found)
        return;
    fs::create_directories(target.parent_path(), ec);
    fs::copy(source, target, kCopyOptions, ec);
    if (ec)
        BVLog("Send Logs: %@ was not copied: %@", source, ec.message());
}

}  // namespace

BVDiagnostics::Sources BVDiagnostics::currentSources(const BVLogging& logging) {
    Sources sources;
    sources.logs = logging.ongoingLogs();
    sources.diagnosticReports = logging.mainDiagnosticReports();
    sources.khdFolder = Utilities::khdRootPath();
    sources.installLog = logging.findInstallLogFile();
    sources.renameLog = logging.findLastRenameLog();
    return sources;
}

BVDiagnostics::Result BVDiagnostics::pack(const Sources& sources,
                                          const std::string& reportingFolder,
                                          const std::string& zipPath) {
    Result result;
    std::error_code ec;
    const fs::path folder(reportingFolder);
    fs::remove_all(folder, ec);
    if (!fs::create_directories(folder, ec) || ::chmod(folder.c_str(), 0700) != 0) {
        result.error = "the reporting folder " + reportingFolder + " cannot be made";
        return result;
    }
    for (const auto& log : sources.logs)
        copyInto(log, folder / fs::path(log).filename());
    for (const auto& report : sources.diagnosticReports)
        copyInto(report, folder / "Diags" / fs::path(report).filename());
    if (sources.khdFolder)
        copyInto(*sources.khdFolder, folder / "KHD");
    if (sources.installLog)
        copyInto(*sources.installLog, folder / "install-log.txt");
    if (sources.renameLog)
        copyInto(*sources.renameLog, folder / "rn_items");

    fs::remove(zipPath, ec);
    const int status =
        bv::ProcessRunner::run({"zip", "-q", "-r", zipPath, reportingFolder}, {-1, true});
    fs::remove_all(folder, ec);
    if (status != 0) {
        fs::remove(zipPath, ec);
        result.error = status < 0 ? "zip is not installed (apt-get install zip)"
                                  : "zip ended with status " + std::to_string(status);
        return result;
    }
    ::chmod(zipPath.c_str(), 0600);
    result.ok = true;
    result.zipPath = zipPath;
    return result;
}

std::string BVDiagnostics::mailBody(const std::string& userName, const std::string& date) {
    return "Brimvault Linux\n" + date + "\n" + "------------------\n" +
           "You can describe the problem here:\n" + "\n\n" + "UserName: " + userName + "\n";
}
