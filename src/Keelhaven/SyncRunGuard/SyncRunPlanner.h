#pragma once

#include <string>
#include <vector>

#include "Keelhaven/SyncBackTaskExecutor/SyncRunEnvironment.h"

class SyncBackupTask;

// What a run of a task would do, found without doing any of it: both sides are listed and
// compared with the snapshot level by level, as a run compares them, and nothing is
// written on either side or in the snapshot. Folders that the run would create are shown
// as one action each, their contents with them.
class SyncRunPlanner {
  public:
    // One line per action ("upload", "download", "delete here", "delete on Brimvault",
    // "record", followed by the path); false with the reason when a side cannot be listed.
    static bool plan(SyncBackupTask& task, const SyncRunEnvironment& environment,
                     std::vector<std::string>* actions, std::string* reason);
};
