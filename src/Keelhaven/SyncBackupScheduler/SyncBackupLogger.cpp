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

// "yyyy-MM-dd HH:mm:ss" in local time. The text of the current second is kept per thread:
// the calendar conversion cost more than the rest of a record, and a run writes many records
// within each second.
const std::string& localTimestamp(double now) {
    thread_local time_t cachedSecond = -1;
    thread_local std::string cachedText;
    auto whole = static_cast<time_t>(std::floor(now));
    if (whole != cachedSecond) {
        struct tm local {};
        char text[32] = "";
        if (localtime_r(&whole, &local))
            strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        cachedText = text;
        cachedSecond = whole;
    }
    return cachedText;
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
        const std::string& stamp = localTimestamp(clock_->now());
        std::string record;
        record.reserve(stamp.size() + line.size() + 4);
        record += '[';
        record += stamp;
        record += "]: ";
        record += line;
        record += '\n';
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
