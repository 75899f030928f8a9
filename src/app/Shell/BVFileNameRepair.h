#pragma once

#include <string>
#include <vector>

// The file-name repair tool: in a local folder, recursively, and in the folder's own name,
// each of \ / : * ? " < > | becomes "#" and leading spaces go. Files are renamed first in
// walk order, then folders deepest first, so no rename moves something still to come.
class BVFileNameRepair {
  public:
    struct Record {
        std::string oldPath;  // folders end in "/"
        std::string newPath;
        bool isFolder = false;
        int depth = 0;  // slashes in oldPath
    };
    struct Result {
        bool ok = true;
        size_t renamed = 0;
        std::string error;  // the first failing rename
    };

    // The name with the invalid characters replaced and the leading spaces removed.
    static std::string repairedName(const std::string& name);
    // What would be renamed, in walk order (the folder itself last).
    static std::vector<Record> plan(const std::string& folder);
    // Renames as planned, appending "<old>\t<new>\tFile\r" or "...Folder\r" lines to the log
    // file "RN_<yyyy-MM-dd-HH-mm-ss>" in logFolder. Stops at the first failure.
    static Result run(const std::string& folder, const std::string& logFolder);
};
