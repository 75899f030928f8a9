#pragma once

#include <memory>
#include <string>

#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"
#include "platform/Clock.h"
#include "platform/UniqueFd.h"

// The log file of one task. A file written to within the last day is continued; an older
// one is started afresh, so a log holds about one day of runs. Each line is one write, so
// the executor and the engine's workers may log at once without a lock.
class SyncBackupLogger : public SyncBackupTaskLog {
  public:
    // A log last modified this many seconds ago or more is started afresh.
    static constexpr double kFreshLogAge = 86401;

    // initWithFilePath: opens (or replaces) the file at path; the file is owner-only and is
    // never opened through a symbolic link.
    explicit SyncBackupLogger(const std::string& path,
                              std::shared_ptr<bv::Clock> clock = bv::Clock::system());

    // Writes "[yyyy-MM-dd HH:mm:ss]: line\n" in local time; nothing when the file could not
    // be opened.
    void log(const std::string& line) override;
    bool isOpen() const { return fileHandle.valid(); }

  private:
    std::shared_ptr<bv::Clock> clock_;
    bv::UniqueFd fileHandle;
};
