#pragma once

#include <string>

// `brimvault daemon`: the drive application. Runs the main loop until the application ends
// and answers the process's exit status.
struct BVDaemonOptions {
    bool foreground = false;
    std::string mountDirectory;  // overrides the preference when set
};

int runDaemon(const BVDaemonOptions& options, const std::string& selfPath);
