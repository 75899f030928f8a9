#include "app/Shell/BVFileNameRepair.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "app/Logging/BVLogging.h"

namespace fs = std::filesystem;

std::string BVFileNameRepair::repairedName(const std::string& name) {
    std::string repaired = name;
    for (char& c : repaired)
        if (std::strchr("\\/:*?\"<>|", c) && c != '\0')
            c = '#';
    auto first = repaired.find_first_not_of(' ');
    return first == std::string::npos ? repaired : repaired.substr(first);
}

namespace {

void add(std::vector<BVFileNameRepair::Record>& records, const fs::path& path, bool isFolder) {
    auto name = path.filename().string();
    auto repaired = BVFileNameRepair::repairedName(name);
    if (repaired == name || repaired.empty())
        return;
    BVFileNameRepair::Record record;
    record.oldPath = path.string() + (isFolder ? "/" : "");
    record.newPath = (path.parent_path() / repaired).string() + (isFolder ? "/" : "");
    record.isFolder = isFolder;
    record.depth = static_cast<int>(std::count(record.oldPath.begin(), record.oldPath.end(), '/'));
    records.push_back(std::move(record));
}

}  // namespace

std::vector<BVFileNameRepair::Record> BVFileNameRepair::plan(const std::string& folder) {
    std::vector<Record> records;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        bool isFolder = it->is_directory(ec) && !it->is_symlink(ec);
        add(records, it->path(), isFolder);
    }
    add(records, fs::path(folder).lexically_normal(), true);
    return records;
}

BVFileNameRepair::Result BVFileNameRepair::run(const std::string& folder,
                                               const std::string& logFolder) {
    Result result;
    auto records = plan(folder);
    if (records.empty())
        return result;
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H-%M-%S", std::localtime(&now));
    std::ofstream log(fs::path(logFolder) / (std::string("RN_") + stamp), std::ios::app);
    auto renameAll = [&](bool folders) {
        for (const auto& r : records) {
            if (r.isFolder != folders)
                continue;
            auto from = folders ? r.oldPath.substr(0, r.oldPath.size() - 1) : r.oldPath;
            auto to = folders ? r.newPath.substr(0, r.newPath.size() - 1) : r.newPath;
            // Never replace something that already has the repaired name.
            std::error_code ec;
            if (fs::exists(fs::symlink_status(to, ec)) ||
                std::rename(from.c_str(), to.c_str()) != 0) {
                result.ok = false;
                result.error =
                    from + ": " + (errno ? std::strerror(errno) : "the new name is taken");
                BVLog(folders ? "Error when renaming the folders: %@"
                              : "Error when renaming the files: %@",
                      result.error);
                return false;
            }
            log << r.oldPath << "\t" << r.newPath << "\t" << (folders ? "Folder\r" : "File\r");
            ++result.renamed;
        }
        return true;
    };
    if (!renameAll(false))
        return result;
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.depth > b.depth; });
    renameAll(true);
    return result;
}
