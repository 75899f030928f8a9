#include "BVApi/Controllers/BVFileUploadingProgress.h"

#include "BVApi/Content/BVVolumePath.h"
#include "app/Utilities.h"

std::string BVFileUploadingProgress::progressText() const {
    if (total == 0)
        return "";
    return Utilities::getSizeFormattedStr(completed) + " of " +
           Utilities::getSizeFormattedStr(total);
}

std::string BVFileUploadingProgress::pathText() const {
    const std::string parent = BVVolumePath::parent(path);
    return "Uploading \"" + BVVolumePath::lastComponent(path) + "\" to \"" +
           BVVolumePath::lastComponent(parent) + "\".";
}

std::string BVFileUploadingProgress::speedText() const {
    return Utilities::getSizeFormattedStr(static_cast<uint64_t>(speed > 0 ? speed : 0)) + "/s";
}

void BVFileUploadingProgress::update(uint64_t completedBytes, uint64_t totalBytes, double now) {
    const double elapsed = now - lastUpdate;
    if (lastUpdate > 0 && elapsed > 0 && completedBytes >= lastUpdateCompleted)
        speed = static_cast<double>(completedBytes - lastUpdateCompleted) / elapsed;
    lastUpdate = now;
    lastUpdateCompleted = completedBytes;
    completed = completedBytes;
    total = totalBytes;
}
