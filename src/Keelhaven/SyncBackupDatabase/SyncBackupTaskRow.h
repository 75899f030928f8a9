#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// One row of the task table: what the registry stores of a task.
struct SyncBackupTaskRow {
    std::string taskName;
    std::string fromPath;  // the record's "FromPath" at insertion
    std::string toPath;    // the record's "ToPath" at insertion
    int64_t taskId = 0;
    int64_t lastRunTime = 0;  // seconds since 1970
    int64_t status = 0;       // the task's status code
    nlohmann::json record = nlohmann::json::object();
    int32_t threadCount = 4;
};
