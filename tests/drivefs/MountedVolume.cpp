#include "MountedVolume.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bvtest {

namespace {

// Mount points in /proc/mounts escape blanks and a few other characters as octal.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

}  // namespace

std::string MountedVolume::unavailableReason() {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::string("/dev/fuse is not usable here (") + std::strerror(errno) +
               "); the volume tests need FUSE";
    ::close(fd);
    if (::access(BV_FUSERMOUNT3, X_OK) != 0 && geteuid() != 0)
        return "fusermount3 is not installed";
    return "";
}

bool MountedVolume::isMounted(const std::filesystem::path& folder) {
    std::ifstream mounts("/proc/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, point;
        fields >> device >> point;
        if (unescapeMountField(point) == folder.string())
            return true;
    }
    return false;
}

MountedVolume::MountedVolume(const ReferenceServer& server, const std::string& user,
                             const std::string& password,
                             const std::vector<std::string>& extraArguments)
    : dir_("bvmount"),
      mountPoint_(dir_.path() / "Volume"),
      refreshRequests_(dir_.path() / "refresh") {
    std::filesystem::create_directory(mountPoint_);
    std::vector<std::string> arguments = {BV_BVMOUNT_PATH,
                                          "--url",
                                          server.baseUrl(),
                                          "--ca",
                                          server.caFile().string(),
                                          "--user",
                                          user,
                                          "--password",
                                          password,
                                          "--mountpoint",
                                          mountPoint_.string(),
                                          "--refresh-requests",
                                          refreshRequests_.string()};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!isMounted(mountPoint_)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("bvmount ended before the volume was mounted");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill();
            throw std::runtime_error("the volume did not mount within 30 seconds");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

MountedVolume::~MountedVolume() {
    if (!stop())
        kill();
    if (isMounted(mountPoint_)) {
        const std::string command =
            std::string(BV_FUSERMOUNT3) + " -u -z '" + mountPoint_.string() + "'";
        if (std::system(command.c_str()) != 0)
            ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }
}

bool MountedVolume::waitForExit(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (pid_ > 0) {
        int status = 0;
        const pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == pid_ || (ended < 0 && errno == ECHILD)) {
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void MountedVolume::refresh(const std::vector<std::string>& folders) {
    const std::filesystem::path done = refreshRequests_.string() + ".done";
    std::filesystem::remove(done);
    {
        std::ofstream requests(refreshRequests_, std::ios::trunc);
        for (const auto& folder : folders)
            requests << folder << "\n";
    }
    if (pid_ <= 0 || ::kill(pid_, SIGUSR1) != 0)
        throw std::runtime_error("the volume's process is not running");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(done)) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the refresh did not end within 30 seconds");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool MountedVolume::stop() {
    if (pid_ <= 0)
        return true;
    ::kill(pid_, SIGTERM);
    return waitForExit(20);
}

void MountedVolume::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    waitForExit(20);
}

}  // namespace bvtest
