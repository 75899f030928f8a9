#include "app/Shell/BVSessionFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/TmpPaths.h"
#include "platform/UniqueFd.h"

bool BVSessionFiles::writeFreshFile(const std::string& path, const std::string& bytes) {
    if (path.empty())
        return false;
    // Created anew: whatever stood at the name (a link included) goes first, and O_EXCL
    // refuses anything that appears in between.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return false;
    bv::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return fd.close();
}

bool BVSessionFiles::write(const BVUserSessionItem& session, uint64_t uploadSpeedLimit) {
    int32_t access = session.isAccountUser ? 1 : 0;
    const std::pair<const char*, std::string> files[] = {
        {Utilities::kSessionIdFile, session.sessionId},
        {Utilities::kUserNameFile, session.username},
        {Utilities::kDriveNameFile, session.driveName},
        {Utilities::kAccessFile,
         std::string(reinterpret_cast<const char*>(&access), sizeof access)},
        {Utilities::kInhibitFile,
         std::string(reinterpret_cast<const char*>(&uploadSpeedLimit), sizeof uploadSpeedLimit)},
    };
    bool all = true;
    for (const auto& [name, bytes] : files) {
        auto path = bv::bvTmpPath(name);
        if (!writeFreshFile(path, bytes)) {
            BVLog("Failed to write the session file %@: %@", path.empty() ? name : path,
                  std::strerror(errno));
            all = false;
        }
    }
    return all;
}
