#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The include or exclude rules of a task, built from its "filter" dictionary. Holds no state
// between calls beyond its settings.
class SyncBackupFilter {
  public:
    enum FileType { kOther = 0, kDocuments = 1, kImages = 2, kMusic = 4, kVideos = 8 };

    // An empty or missing dictionary leaves everything in (an exclude filter with no rule on).
    explicit SyncBackupFilter(const nlohmann::json& filterDictionary);

    // True when the item is to be left out. name: the last path component; isLink: the item is
    // a symbolic link.
    bool shouldFilterFile(const std::string& name, bool isLink) const;
    bool shouldFileIncluded(const std::string& name) const;
    bool shouldFileExcluded(const std::string& name, bool isLink) const;
    // The kind of a file by its extension, from one table.
    static FileType GetFileType(const std::string& name);
    // The temporary-file names of the desktop's editors and the platform.
    static bool isOSXTemporary(const std::string& name);

    bool isExcludeFilter = true;
    bool excludeTempFiles = false;
    bool excludeHiddenFiles = false;
    bool includeDocuments = false;
    bool includeImages = false;
    bool includeMovies = false;
    bool includeMusic = false;
    std::string customStr;
    bool CustomExt = false;  // a custom string was given, even an empty one
    nlohmann::json originalDict;
};
