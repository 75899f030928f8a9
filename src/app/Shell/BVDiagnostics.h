#pragma once

#include <optional>
#include <string>
#include <vector>

class BVLogging;

// "Send Logs": gathers the programs' current logs, the crash reports, Keelhaven's data
// folder, the installer's log and the last renaming records into a fresh reporting folder
// below the per-user tmp root, packs it with zip and removes the folder again.
class BVDiagnostics {
  public:
    static constexpr const char* kReportingFolder = "/tmp/BrimvaultTmp/reporting";
    static constexpr const char* kZipFile = "/tmp/BrimvaultTmp/BVKHVLogs.zip";
    static constexpr const char* kMailSubject = "Linux Advanced Logs";

    struct Sources {
        std::vector<std::string> logs;               // copied to the folder's top
        std::vector<std::string> diagnosticReports;  // to "Diags"
        std::optional<std::string> khdFolder;        // to "KHD"
        std::optional<std::string> installLog;       // as "install-log.txt"
        std::optional<std::string> renameLog;        // as "rn_items"
    };
    struct Result {
        bool ok = false;
        std::string zipPath;
        std::string error;  // what failed, when not ok
    };

    // What the running program would send.
    static Sources currentSources(const BVLogging& logging);
    // Packs the sources into zipPath through reportingFolder (both emptied first). Missing
    // sources are left out; links are copied as links, never followed.
    static Result pack(const Sources& sources, const std::string& reportingFolder,
                       const std::string& zipPath);
    // The new e-mail's text for the user (the signed-in one, else the remembered one).
    static std::string mailBody(const std::string& userName, const std::string& date);
};
