#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Format.h"

// The suite's one logging facility. Records are appended to one plain-text file per
// process start in $XDG_DATA_HOME/Brimvault/LogDirectory/. Logging never fails its caller:
// a record that cannot be written vanishes. Records written before setupWithPrefix() vanish.
class BVLogging {
public:
    // Creates the shared instance (replacing a previous one, for tests), sets the prefix
    // ("BV", "KHV", "FE") and installs the handler for uncaught exceptions.
    static BVLogging* setupWithPrefix(const std::string& prefix);
    static BVLogging* sharedInstance();

    const std::string& prefix() const { return prefix_; }
    // The log folder, ending in "/Brimvault/LogDirectory/".
    const std::string& path() const { return path_; }

    void fileMessage(const std::string& message, bool succinct);
    void fileSuccinctMessage(const std::string& message);

    // The "running" flag of the preference store.
    bool checkQuitFlag() const;
    void setRunningFlag(bool running);

    // Prunes the own log folder to 18 files and the extension's to 2, newest kept.
    void cleanup();
    static void cleanupLogsFolder(const std::filesystem::path& folder, size_t maxItems);
    std::vector<std::string> ongoingLogs() const;

    // Crash-report bookkeeping of the previous-run check.
    std::optional<std::string> getPathOfLastGeneratedCrashReport() const;
    void writePathOfLastProcessedCrashReport(const std::string& path) const;
    std::optional<std::string> getSavedPathOfLastGeneratedCrashReport() const;
    std::vector<std::string> findBVDiagnosticReports() const;
    std::vector<std::string> mainDiagnosticReports() const;
    std::optional<std::string> findInstallLogFile() const;
    std::string findLastRenameLog() const { return "/tmp/rn_items"; }
    void setLastCrashReportDate(double) {}
    std::optional<double> checkLastCrashReportDate() const { return std::nullopt; }

    // The Finder extension's own log folder.
    static std::filesystem::path extensionLogFolder();

private:
    explicit BVLogging(std::string prefix);
    std::string currentFileName(bool succinct);

    std::string prefix_;
    std::string path_;
    std::mutex fileNamesLock_;  // guards the two lazily chosen file names
    std::string normalFileName_;
    std::string succinctFileName_;
    std::mutex appendLock_;  // keeps records of concurrent threads whole
};

// The two entry points. level, file, line and function are accepted and ignored.
void BVLogWrite(bool succinct, std::string message);

template <typename... Args>
void _Log(const char* /*level*/, const char* /*file*/, int /*line*/, const char* /*function*/,
          std::string_view format, const Args&... args) {
    BVLogWrite(false, bv::format(format, args...));
}

template <typename... Args>
void _SuccinctlyLog(const char* /*level*/, const char* /*file*/, int /*line*/,
                    const char* /*function*/, std::string_view format, const Args&... args) {
    BVLogWrite(true, bv::format(format, args...));
}

#define BVLog(...) _Log("DEBUG ", __FILE__, __LINE__, __func__, __VA_ARGS__)
#define BVSuccinctLog(...) _SuccinctlyLog("DEBUG ", __FILE__, __LINE__, __func__, __VA_ARGS__)
