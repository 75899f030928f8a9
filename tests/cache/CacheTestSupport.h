#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"

namespace cachetest {

inline std::shared_ptr<BVFileInfoItem> fileInfo(const std::string& id,
                                                const std::string& name = "f",
                                                double modified = 0) {
    auto item = std::make_shared<BVFileInfoItem>();
    item->identifier = id;
    item->name = name;
    item->dateModified = modified;
    return item;
}

inline std::shared_ptr<BVFolderItem> folder(const std::string& id, const std::string& name) {
    auto item = std::make_shared<BVFolderItem>();
    item->identifier = id;
    item->name = name;
    return item;
}

template <class Listing = BVFolderListItem>
std::shared_ptr<Listing> listing(const std::string& id, const std::string& path,
                                 int64_t encrypted = 0) {
    auto item = std::make_shared<Listing>();
    item->identifier = id;
    item->path = path;
    item->encrypted = encrypted;
    return item;
}

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeAll(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

}  // namespace cachetest
