#pragma once

#include <string>

// Refuses names the service does not accept.
class SyncBackupSift {
  public:
    static constexpr const char* invalidChars = "\\/:*?\"<>|";

    // True (and logged) when name contains one of invalidChars.
    static bool shouldFileBeSiftedOut(const std::string& name);
};
