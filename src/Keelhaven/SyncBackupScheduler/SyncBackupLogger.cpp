#include "Keelhaven/SyncBackupScheduler/SyncBackupLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <exception>

#include "app/Logging/BVLogging.h"
#include "platform/CallStack.h"

namespace {

std::string localTimestamp(double now) {
    auto whole = static_cast<time_t>(std::floor(now));
    struct tm local {};
    char text[32] = "";
    if (localtime_r(&whole, &local))
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

SyncBackupLogger::SyncBackupLogger(const std::string& path, std::shared_ptr<bv::Clock> clock)
    : clock_(std::move(clock)) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        double age = clock_->now() - static_cast<double>(st.st_mtime);
        if (S_ISREG(st.st_mode) && age < kFreshLogAge) {
            fileHandle.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
            return;
        }
        ::unlink(path.c_str());
    }
    fileHandle.reset(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
}

void SyncBackupLogger::log(const std::string& line) {
    if (!fileHandle.valid())
        return;
    try {
        std::string record = "[" + localTimestamp(clock_->now()) + "]: " + line + "\n";
        const char* at = record.data();
        size_t left = record.size();
        while (left > 0) {
            ssize_t n = ::write(fileHandle.get(), at, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            at += n;
            left -= static_cast<size_t>(n);
        }
    } catch (const std::exception& e) {
        BVLog("Exception in SyncBackupLogger:log: %@", e.what());
        BVLog("Stack trace: %@", bv::currentCallStack());
    }
}
