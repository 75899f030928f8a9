#include "Keelhaven/App/KeelhavenApplication.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/TmpPaths.h"
#include "platform/XdgPaths.h"

namespace {

// At most limit bytes of a regular file of our own user; nothing otherwise.
std::optional<std::string> readOwnFile(const std::string& path, size_t limit) {
    if (path.empty())
        return std::nullopt;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
        std::string buffer(limit, '\0');
        size_t got = 0;
        while (got < limit) {
            ssize_t n = ::read(fd, buffer.data() + got, limit - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        buffer.resize(got);
        bytes = std::move(buffer);
    }
    ::close(fd);
    return bytes;
}

std::string osDescription() {
    struct utsname name {};
    if (::uname(&name) != 0)
        return "unknown";
    return std::string(name.sysname) + " " + name.release;
}

}  // namespace

KeelhavenApplication::KeelhavenApplication(std::shared_ptr<SyncBackupTaskContext> context,
                                           Hooks hooks)
    : context_(std::move(context)), hooks_(std::move(hooks)) {
    if (!hooks_.terminate)
        hooks_.terminate = [] { bv::RunLoop::main().stop(); };
}

KeelhavenApplication::~KeelhavenApplication() {
    if (server_) {
        server_->setDelegate(nullptr);
        server_->stopServer();
        server_.reset();
    }
    if (parentSource_)
        bv::RunLoop::main().removeFdSource(parentSource_);
    if (parentFd_ >= 0)
        ::close(parentFd_);
    manager_.reset();
}

std::vector<std::string> KeelhavenApplication::bannerLines() {
    const std::string row(60, '=');
    return {row,
            bv::format("=== Keelhaven-macOS Version %@ (Build %ld)", BV_APP_VERSION,
                       static_cast<long>(std::atol(BV_BUILD_NUMBER))),
            bv::format("=== macOS %@", osDescription()),
            bv::format("=== macfuse %@", KH_FUSE_VERSION), row};
}

bool KeelhavenApplication::applicationDidFinishLaunching() {
    for (const auto& line : bannerLines())
        BVLog("%@", line);
    workingFolder_ = bv::bvTmpPath(kWorkingFolder);
    if (workingFolder_.empty() || !bv::XdgPaths::createPrivateDirectories(workingFolder_))
        BVLog("Failed to create directory \"%@\". Error: %@", kWorkingFolder,
              workingFolder_.empty() ? "no private temporary folder" : std::strerror(errno));
    loadParameters();
    server_ = std::make_unique<CommSocketServer>(bv::bvTmpPath(kCommandSocket));
    server_->setDelegate(this);
    bool serving = server_->startServer();
    if (!serving)
        BVLog("Unable to serve the command socket %@.", bv::bvTmpPath(kCommandSocket));
    simulateApp();
    return serving;
}

std::optional<std::string> KeelhavenApplication::readText(const std::string& path) {
    return readOwnFile(path, kMaxTextBytes);
}

int64_t KeelhavenApplication::readSpeedLimit(const std::string& path) {
    auto bytes = readOwnFile(path, 8);
    if (!bytes)
        return 0;
    if (bytes->size() == 8) {
        uint64_t value = 0;
        std::memcpy(&value, bytes->data(), 8);
        return value > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(value);
    }
    if (bytes->size() >= 4) {
        uint32_t value = 0;
        std::memcpy(&value, bytes->data(), 4);
        return value;
    }
    return 0;
}

bool KeelhavenApplication::readAccessFlag(const std::string& path) {
    auto bytes = readOwnFile(path, 4);
    if (!bytes || bytes->size() < 4)
        return false;
    int32_t value = 0;
    std::memcpy(&value, bytes->data(), 4);
    return value != 0;
}

void KeelhavenApplication::loadParameters() {
    auto& user = BrimvaultUser::getUser();
    user.sessionID = readText(bv::bvTmpPath(Utilities::kSessionIdFile)).value_or("");
    user.username = readText(bv::bvTmpPath(Utilities::kUserNameFile)).value_or("");
    user.driveName = readText(bv::bvTmpPath(Utilities::kDriveNameFile)).value_or("");
    user.isAccessUser = readAccessFlag(bv::bvTmpPath(Utilities::kAccessFile));
    user.uploadSpeedLimit = readSpeedLimit(bv::bvTmpPath(Utilities::kInhibitFile));
}

void KeelhavenApplication::simulateApp() {
    const auto& user = BrimvaultUser::getUser();
    user.copyToCurrentUser();
    KHVUserInfo info{user.username, user.sessionID, user.driveName, user.isAccessUser,
                     user.uploadSpeedLimit};
    if (!manager_) {
        manager_ = std::make_unique<KHVManager>(context_, [this] { terminate(); });
        if (!manager_->starWithUserInfo(info, hooks_.observer))
            BVLog("The task registry of %@ cannot be opened.", info.userName);
    }
    if (hooks_.registryStarted)
        hooks_.registryStarted(*manager_);
}

void KeelhavenApplication::handleSocketServerMsgString(const std::string& text, CommSocketClient&) {
    if (text == "open") {
        loadParameters();
        simulateApp();
        if (hooks_.bringTaskListForward)
            hooks_.bringTaskListForward();
    } else if (text == "close") {
        terminate();
    }
}

bool KeelhavenApplication::watchDrivingApplication(pid_t pid) {
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        BVLog("Unable to watch the drive application (process %d): %@", pid, std::strerror(errno));
        return false;
    }
    parentFd_ = fd;
    parentSource_ = bv::RunLoop::main().addFdSource(fd, POLLIN, [this](short) {
        BVLog("The drive application ended; Keelhaven quits.");
        terminate();
    });
    return true;
}

void KeelhavenApplication::terminate() {
    hooks_.terminate();
}
