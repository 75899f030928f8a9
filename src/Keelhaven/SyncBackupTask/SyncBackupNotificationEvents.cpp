#include "Keelhaven/SyncBackupTask/SyncBackupNotificationEvents.h"

#include <cctype>

SyncBackupNotificationEvents::SyncBackupNotificationEvents(bool enabled, bool whenProcessed,
                                                           bool whenWarnings, bool whenFailed,
                                                           bool whenStopped, std::string to,
                                                           const std::optional<std::string>& cc)
    : emailNotificationsEnabled(enabled),
      whenTaskCompletedSuccessfullyAndProcessed(whenProcessed),
      whenTaskCompletedSuccessfullyWithWarnings(whenWarnings),
      whenTaskFailed(whenFailed),
      whenTaskStopped(whenStopped),
      toAddress(std::move(to)),
      ccAddresses(tokenizeAddressesString(cc)) {}

std::optional<std::vector<std::string>> SyncBackupNotificationEvents::tokenizeAddressesString(
    const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    std::vector<std::string> addresses;
    std::string current;
    for (char c : *text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!current.empty())
                addresses.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty())
        addresses.push_back(std::move(current));
    return addresses;
}
