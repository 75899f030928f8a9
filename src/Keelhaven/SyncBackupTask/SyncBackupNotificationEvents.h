#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"

// A task's e-mail notification settings.
class SyncBackupNotificationEvents {
  public:
    SyncBackupNotificationEvents() = default;
    // The cc string is split into ccAddresses.
    SyncBackupNotificationEvents(bool enabled, bool whenProcessed, bool whenWarnings,
                                 bool whenFailed, bool whenStopped, std::string toAddress,
                                 const std::optional<std::string>& ccString);

    // The addresses of text, split at white space; nothing for no text.
    static std::optional<std::vector<std::string>> tokenizeAddressesString(
        const std::optional<std::string>& text);

    bool emailNotificationsEnabled = false;
    bool whenTaskCompletedSuccessfullyAndProcessed = false;
    bool whenTaskCompletedSuccessfullyWithWarnings = false;
    bool whenTaskFailed = false;
    bool whenTaskStopped = false;
    std::string toAddress;
    std::optional<std::vector<std::string>> ccAddresses;
    nlohmann::json originalDict;
    std::shared_ptr<SyncBackupTaskLog> logger;
};
