#include "Keelhaven/SyncBackTaskExecutor/SyncBackupSift.h"

#include "app/Logging/BVLogging.h"

bool SyncBackupSift::shouldFileBeSiftedOut(const std::string& name) {
    if (name.find_first_of(invalidChars) == std::string::npos)
        return false;
    BVLog("fileName contains illegal characters");
    return true;
}
