#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Format.h"
#include "platform/TmpPaths.h"

// The suite's one logging facility. Records are appended to one plain-text file per
// process start in $XDG_DATA_HOME/Brimvault/LogDirectory/ (the Finder extension, prefix
// "FE", uses its own folder, extensionLogFolder()). Logging never fails its caller: a record
// that cannot be written vanishes. Records written before setupWithPrefix() vanish.
// Records may be written from any thread; each is appended whole with one write().
class BVLogging {
  public:
    // Creates the shared instance (replacing a previous one, for tests), sets the prefix
    // ("BV", "KHV", "FE") and installs the handlers for uncaught exceptions and for
    // exceptions caught at thread and queue boundaries.
    static BVLogging* setupWithPrefix(const std::string& prefix);
    // Null before setupWithPrefix(). An instance replaced by a later set-up stays valid.
    static BVLogging* sharedInstance();

    const std::string& prefix() const { return prefix_; }
    // The log folder, ending in "/Brimvault/LogDirectory/".
    const std::string& path() const { return path_; }

    // message is written as is after a "[yyyy-MM-dd HH:mm:ss.SS]: " stamp, or bare when
    // succinct; normal and succinct records go to two files, each chosen at its first record.
    void fileMessage(const std::string& message, bool succinct);
    void fileSuccinctMessage(const std::string& message);

    // The "running" flag of the preference store.
    bool checkQuitFlag() const;
    void setRunningFlag(bool running);

    // Prunes the own log folder to 18 files and the extension's to 2, newest kept.
    void cleanup();
    // Keeps the maxItems files of folder with the latest creation dates (the birth time
    // where the file system records one, else the modification time; equal ones are ordered
    // by modification date, then by name). Subfolders and the crash bookkeeping file are not
    // log files and are kept.
    static void cleanupLogsFolder(const std::filesystem::path& folder, size_t maxItems);
    // Full paths of the files of the own log folder and of the extension's, in directory order.
    std::vector<std::string> ongoingLogs() const;

    // Crash-report bookkeeping of the previous-run check.
    // The report of findBVDiagnosticReports() with the latest creation date, ordered as
    // cleanupLogsFolder() orders files.
    std::optional<std::string> getPathOfLastGeneratedCrashReport() const;
    void writePathOfLastProcessedCrashReport(const std::string& path) const;
    std::optional<std::string> getSavedPathOfLastGeneratedCrashReport() const;
    // The newest suite report of DiagnosticReports and the newest of its Retired folder.
    std::vector<std::string> findBVDiagnosticReports() const;
    // Every suite report of DiagnosticReports itself.
    std::vector<std::string> mainDiagnosticReports() const;
    // The installer's log beside the log folder, when it exists.
    std::optional<std::string> findInstallLogFile() const;
    std::string findLastRenameLog() const { return bv::bvTmpPath("/tmp/rn_items"); }
    void setLastCrashReportDate(double) {}
    std::optional<double> checkLastCrashReportDate() const { return std::nullopt; }

    // The Finder extension's own log folder.
    static std::filesystem::path extensionLogFolder();
    // $XDG_STATE_HOME/Brimvault/DiagnosticReports, where the programs write crash reports.
    static std::filesystem::path diagnosticReportsFolder();
    // The most recently modified file of folder whose name begins with one of the suite's
    // crash-report program names ("BVFinderExtension", "Keelhaven", "Brimvault"); of equally
    // recent ones, the last by name.
    static std::optional<std::string> findNewestFileAt(const std::filesystem::path& folder);
    // The crash-report program name of a log prefix or an executable name: "BV" and
    // "brimvault" give "Brimvault", "KHV" and "keelhaven" "Keelhaven", "FE" and "bvfinder"
    // "BVFinderExtension"; anything else is answered unchanged.
    static std::string crashReportProgramName(const std::string& prefixOrExecutable);

  private:
    explicit BVLogging(std::string prefix);
    // Empty when the file could not be created.
    std::string currentFileName(bool succinct);
    std::filesystem::path crashBookkeepingFile() const;

    std::string prefix_;
    std::string path_;
    std::mutex fileNamesLock_;  // guards the choice of the two file names
    // Set once under fileNamesLock_, then only read: a ready flag lets records skip the lock.
    std::string normalFileName_;
    std::string succinctFileName_;
    std::atomic<bool> normalFileReady_{false};
    std::atomic<bool> succinctFileReady_{false};
    // The open files behind the two names (-1 until made). Opening the file for each record
    // cost more than the record itself; a file removed under us is opened again by name.
    std::atomic<int> normalFd_{-1};
    std::atomic<int> succinctFd_{-1};
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
