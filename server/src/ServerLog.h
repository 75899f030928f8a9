#pragma once

#include <filesystem>
#include <string>

namespace bvserver {

// The service's log: one line per record, appended to a file (and flushed, so tests can
// read it while the service runs). Before open() records go to stderr.
class ServerLog {
  public:
    static void open(const std::filesystem::path& file);
    static void write(const std::string& line);
};

}  // namespace bvserver
