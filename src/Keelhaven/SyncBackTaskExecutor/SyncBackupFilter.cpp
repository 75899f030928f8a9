#include "Keelhaven/SyncBackTaskExecutor/SyncBackupFilter.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <unordered_map>

namespace {

using json = nlohmann::json;

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

bool flag(const json& dictionary, const char* key) {
    auto it = dictionary.find(key);
    return it != dictionary.end() && it->is_boolean() && it->get<bool>();
}

// The extension without its dot, lower case; empty when the name has none.
std::string extensionOf(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return "";
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

const std::unordered_map<std::string, SyncBackupFilter::FileType>& kindTable() {
    using T = SyncBackupFilter;
    static const std::unordered_map<std::string, SyncBackupFilter::FileType> table = {
        // images
        {"jpg", T::kImages},
        {"jpeg", T::kImages},
        {"png", T::kImages},
        {"gif", T::kImages},
        {"bmp", T::kImages},
        {"tif", T::kImages},
        {"tiff", T::kImages},
        {"heic", T::kImages},
        {"heif", T::kImages},
        {"webp", T::kImages},
        {"svg", T::kImages},
        {"ico", T::kImages},
        {"raw", T::kImages},
        {"cr2", T::kImages},
        {"nef", T::kImages},
        {"dng", T::kImages},
        {"psd", T::kImages},
        {"xcf", T::kImages},
        // movies
        {"mp4", T::kVideos},
        {"m4v", T::kVideos},
        {"mov", T::kVideos},
        {"avi", T::kVideos},
        {"mkv", T::kVideos},
        {"wmv", T::kVideos},
        {"flv", T::kVideos},
        {"webm", T::kVideos},
        {"mpg", T::kVideos},
        {"mpeg", T::kVideos},
        {"3gp", T::kVideos},
        {"ogv", T::kVideos},
        // other audiovisual content
        {"mp3", T::kMusic},
        {"m4a", T::kMusic},
        {"aac", T::kMusic},
        {"wav", T::kMusic},
        {"flac", T::kMusic},
        {"ogg", T::kMusic},
        {"oga", T::kMusic},
        {"opus", T::kMusic},
        {"wma", T::kMusic},
        {"aiff", T::kMusic},
        {"aif", T::kMusic},
        {"mid", T::kMusic},
        {"midi", T::kMusic},
        // documents
        {"txt", T::kDocuments},
        {"rtf", T::kDocuments},
        {"pdf", T::kDocuments},
        {"doc", T::kDocuments},
        {"docx", T::kDocuments},
        {"xls", T::kDocuments},
        {"xlsx", T::kDocuments},
        {"ppt", T::kDocuments},
        {"pptx", T::kDocuments},
        {"odt", T::kDocuments},
        {"ods", T::kDocuments},
        {"odp", T::kDocuments},
        {"csv", T::kDocuments},
        {"md", T::kDocuments},
        {"html", T::kDocuments},
        {"htm", T::kDocuments},
        {"xml", T::kDocuments},
        {"pages", T::kDocuments},
        {"numbers", T::kDocuments},
        {"key", T::kDocuments},
        {"epub", T::kDocuments},
        {"tex", T::kDocuments},
    };
    return table;
}

}  // namespace

SyncBackupFilter::SyncBackupFilter(const json& filterDictionary) : originalDict(filterDictionary) {
    if (!filterDictionary.is_object())
        return;
    isExcludeFilter = filterDictionary.value("filterType", std::string("Exclude")) != "Include";
    const char* section = isExcludeFilter ? "Exclude" : "Include";
    auto it = filterDictionary.find(section);
    if (it == filterDictionary.end() || !it->is_object())
        return;
    const json& rules = *it;
    excludeTempFiles = flag(rules, "TempFiles");
    excludeHiddenFiles = flag(rules, "HiddenFiles");
    includeDocuments = flag(rules, "Documents");
    includeImages = flag(rules, "Images");
    includeMovies = flag(rules, "Videos");
    includeMusic = flag(rules, "Music");
    auto custom = rules.find("Custom");
    if (custom != rules.end() && custom->is_string()) {
        CustomExt = true;
        customStr = custom->get<std::string>();
    }
}

bool SyncBackupFilter::shouldFilterFile(const std::string& name, bool isLink) const {
    return isExcludeFilter ? shouldFileExcluded(name, isLink) : !shouldFileIncluded(name);
}

bool SyncBackupFilter::isOSXTemporary(const std::string& name) {
    static constexpr std::string_view kParts[] = {
        ".idlk",     "~$",   "log~", ".sparsebundle",
        ".DS_Store", ".tmp", "atmp", "(A Document Being Saved By ",
        ".dwl",      ".dwl2"};
    if (contains(name, ".sb-"))
        return true;
    return std::any_of(std::begin(kParts), std::end(kParts),
                       [&](std::string_view part) { return contains(name, part); });
}

bool SyncBackupFilter::shouldFileExcluded(const std::string& name, bool isLink) const {
    if (contains(name, ".DS_Store") || contains(name, ".localized"))
        return true;
    if (excludeHiddenFiles && (isLink || (!name.empty() && name[0] == '.')))
        return true;
    if (excludeTempFiles && isOSXTemporary(name))
        return true;
    std::string extension = extensionOf(name);
    if (CustomExt && !extension.empty() && contains(customStr, "." + extension))
        return true;
    if (contains(name, "Icon\r"))
        return true;
    if (!customStr.empty() && contains(customStr, name))
        return true;
    return false;
}

SyncBackupFilter::FileType SyncBackupFilter::GetFileType(const std::string& name) {
    auto it = kindTable().find(extensionOf(name));
    return it == kindTable().end() ? kOther : it->second;
}

bool SyncBackupFilter::shouldFileIncluded(const std::string& name) const {
    switch (GetFileType(name)) {
        case kDocuments:
            if (includeDocuments)
                return true;
            break;
        case kImages:
            if (includeImages)
                return true;
            break;
        case kMusic:
            if (includeMusic)
                return true;
            break;
        case kVideos:
            if (includeMovies)
                return true;
            break;
        case kOther:
            break;
    }
    std::string extension = extensionOf(name);
    return CustomExt && !extension.empty() && contains(customStr, "." + extension);
}
