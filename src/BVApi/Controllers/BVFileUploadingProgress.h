#pragma once

#include <cstdint>
#include <string>

#include "platform/Error.h"

// What the uploads window shows of one running upload.
struct BVFileUploadingProgress {
    std::string path;
    bv::Error error;
    uint64_t completed = 0;
    uint64_t total = 0;
    double lastUpdate = 0;
    uint64_t lastUpdateCompleted = 0;
    double speed = 0;  // bytes per second

    double progress() const { return total ? static_cast<double>(completed) / total : 0; }
    bool isPending() const { return total == 0; }
    // "1.2 MB of 3.4 MB", empty while the total is unknown.
    std::string progressText() const;
    // Uploading "name" to "parent".
    std::string pathText() const;
    std::string speedText() const;
    // Takes a progress report at time now: the speed since the previous one.
    void update(uint64_t completedBytes, uint64_t totalBytes, double now);
};
