#include "ServerLog.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace bvserver {

namespace {
std::mutex gLogMutex;  // guards gLogFile and the writes to it
FILE* gLogFile = nullptr;
}  // namespace

void ServerLog::open(const std::filesystem::path& file) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    FILE* f = std::fopen(file.c_str(), "a");
    if (!f)
        return;
    if (gLogFile)
        std::fclose(gLogFile);
    gLogFile = f;
}

void ServerLog::write(const std::string& line) {
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard<std::mutex> lock(gLogMutex);
    FILE* out = gLogFile ? gLogFile : stderr;
    std::fprintf(out, "%s %s\n", stamp, line.c_str());
    std::fflush(out);
}

}  // namespace bvserver
