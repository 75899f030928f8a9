#include "platform/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/UniqueFd.h"

namespace bv {
namespace {

bool fail(Error* error, int code, const std::string& path) {
    setError(error, Error("NSPOSIXErrorDomain", code,
                          {{kFailureReasonKey, std::string(std::strerror(code)) + ": " + path}}));
    return false;
}

bool writeAll(int fd, const Data& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.bytes() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool writeDirectly(const std::string& path, const Data& bytes, Error* error) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd)
        return fail(error, errno, path);
    if (!writeAll(fd.get(), bytes)) {
        int saved = errno;
        return fail(error, saved, path);
    }
    return fd.close() ? true : fail(error, errno, path);
}

// A new name beside target; mode 0666 before the umask, as any new file.
UniqueFd createBeside(const std::filesystem::path& target, std::string* created) {
    static std::atomic<unsigned> sequence{0};
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 100; ++attempt) {
        *created = (folder / ("." + target.filename().string() + ".part-" +
                              std::to_string(::getpid()) + "-" + std::to_string(++sequence)))
                       .string();
        UniqueFd fd(
            ::open(created->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd || errno != EEXIST)
            return fd;
    }
    return UniqueFd();
}

}  // namespace

bool WholeFile::write(const std::string& path, const Data& bytes, Error* error) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return fail(error, EINVAL, path.substr(0, path.find('\0')));
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return writeDirectly(path, bytes, error);
    // A link is replaced by what it names, so the link stays and points at the new content.
    std::error_code ec;
    std::filesystem::path target =
        exists ? std::filesystem::canonical(path, ec) : std::filesystem::path(path);
    if (ec)
        target = path;
    std::string temporary;
    UniqueFd fd = createBeside(target, &temporary);
    if (!fd)
        return fail(error, errno, path);
    bool written = writeAll(fd.get(), bytes) &&
                   (!exists || ::fchmod(fd.get(), st.st_mode & 07777) == 0) &&
                   ::fsync(fd.get()) == 0;
    int saved = errno;
    if (!fd.close() && written) {
        written = false;
        saved = errno;
    }
    if (written && ::rename(temporary.c_str(), target.c_str()) == 0)
        return true;
    if (written)
        saved = errno;
    ::unlink(temporary.c_str());
    return fail(error, saved, path);
}

}  // namespace bv
