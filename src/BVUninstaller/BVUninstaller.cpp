#include "BVUninstaller/BVUninstaller.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/Preferences.h"
#include "platform/ProcessRunner.h"
#include "platform/SecretStore.h"
#include "platform/TmpPaths.h"
#include "platform/UniqueFd.h"
#include "platform/XdgPaths.h"

namespace fs = std::filesystem;

namespace {

// The secret services whose entries belong to the signed-in user.
constexpr const char* kSecureFolderService = "BrimvaultSecureFolder";
constexpr const char* kAutoLoginService = "BrimvaultAutoLogin";
constexpr const char* kTrustPreference = "trustComp";
constexpr const char* kDisplayName = "brimvault";
// What removes the login item besides the autostart file: the enabled user service.
constexpr const char* kLoginItemTemplate = "systemctl --user disable --now %@.service";

int runProgram(const std::vector<std::string>& argv, int outputFd) {
    return bv::ProcessRunner::run(argv, {outputFd, true});
}

std::string executableOf(pid_t pid) {
    std::error_code ec;
    auto target = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (ec)
        return {};
    std::string name = target.filename().string();
    // A program replaced while running (an upgrade) still counts as itself.
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() && name.ends_with(deleted))
        name.resize(name.size() - deleted.size());
    return name;
}

std::vector<pid_t> ownSuiteProcesses() {
    std::vector<pid_t> found;
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = pid_t(std::stol(name));
        struct stat st {};
        if (pid == self || ::stat(entry.path().c_str(), &st) != 0 || st.st_uid != me)
            continue;
        const std::string exe = executableOf(pid);
        if (exe == "brimvault" || exe == "keelhaven")
            found.push_back(pid);
    }
    return found;
}

bool forceUnmountLive(const std::string& mountPoint) {
    if (::umount2(mountPoint.c_str(), MNT_FORCE | MNT_DETACH) == 0)
        return true;
    return runProgram({"fusermount3", "-u", "-z", mountPoint}, -1) == 0;
}

// The lines of a small state file of ours; nothing when it is missing, a link, not a
// regular file or somebody else's.
std::vector<std::string> ownStateFileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(Utilities::readOwnStateFile(path, 4096).value_or(""));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string fill(std::string text, const std::string& value) {
    for (size_t at; (at = text.find("%@")) != std::string::npos;)
        text.replace(at, 2, value);
    return text;
}

}  // namespace

BVUninstaller::System BVUninstaller::System::live() {
    System system;
    system.run = runProgram;
    system.suiteProcesses = ownSuiteProcesses;
    system.isRunning = [](pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; };
    system.sendSignal = [](pid_t pid, int sig) { ::kill(pid, sig); };
    system.forceUnmount = forceUnmountLive;
    system.runningAsRoot = ::geteuid() == 0;
    return system;
}

BVUninstaller::BVUninstaller(System system, fs::path scriptFolder)
    : system_(std::move(system)), scriptFolder_(std::move(scriptFolder)) {}

int BVUninstaller::uninstall() {
    loadParameters();
    if (uninstallData)
        deleteSecrets();
    deleteLoginItem();
    killBrimvaultApp();
    int status = runUninstallScript();
    if (uninstallData)
        resetUserDefaults();
    return status;
}

void BVUninstaller::loadParameters() {
    auto name = Utilities::loadIdFromBrimvaultIDId();
    userName_ = name.value_or("");
    BVLog("theUserName: %@", userName_);
}

void BVUninstaller::deleteSecrets() {
    auto secrets = bv::SecretStore::current();
    for (const char* service : {kSecureFolderService, kAutoLoginService}) {
        bv::Error error;
        if (!secrets->remove(service, userName_, &error))
            BVLog("Removing the %@ secret failed: %@", service, error.localizedDescription());
    }
}

void BVUninstaller::deleteLoginItem() {
    BVLog("deleteLoginItem");
    const fs::path file = bv::XdgPaths::configHome() / "autostart" / kAutostartFileName;
    BVLog("deleteLoginItem fileName: %@", kAutostartFileName);
    BVLog("deleteLoginItem filePath: %@", file.string());
    std::error_code ec;
    // The entry is a plain file of ours; a link there is removed, never followed.
    if (fs::symlink_status(file, ec).type() != fs::file_type::not_found && !fs::remove(file, ec))
        BVLog("Delete Brimvault login item error: %@", ec.message());

    BVLog("deleteLoginItem template: %@", kLoginItemTemplate);
    BVLog("deleteLoginItem localizedName: %@", kDisplayName);
    const std::string source = fill(kLoginItemTemplate, kDisplayName);
    BVLog("deleteLoginItem source: %@", source);
    BVLog("execute script");
    // Without a user session manager (a container, a bare console) there is no service to
    // disable; that is not an error worth stopping for.
    bv::UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    int status = system_.run({"systemctl", "--user", "disable", "--now", kUserServiceName},
                             quiet ? quiet.get() : -1);
    if (status != 0)
        BVLog("Delete Brimvault login item error: %@",
              status < 0 ? std::string("systemctl is not available")
                         : "systemctl ended with status " + std::to_string(status));
    BVLog("executed script");
}

void BVUninstaller::killBrimvaultApp() {
    const std::string mountDirectory = Utilities::driveMountDirectory();
    for (const auto& line : ownStateFileLines(bv::bvTmpPath(Utilities::kDriveNameFile))) {
        std::istringstream words(line);
        std::string name;
        // A drive name is one folder name: anything else could point the unmount elsewhere.
        if (!(words >> name) || name == "." || name == ".." || name.find('/') != std::string::npos)
            continue;
        const std::string mountPoint = mountDirectory + "/" + name;
        BVLog("Ejecting %@", mountPoint);
        if (!system_.forceUnmount(mountPoint))
            BVLog("Ejecting %@ failed", mountPoint);
    }

    const auto processes = system_.suiteProcesses();
    for (pid_t pid : processes) {
        BVLog("Ending process %@", int64_t(pid));
        system_.sendSignal(pid, SIGTERM);
    }
    const double deadline = system_.clock->monotonic() + kTerminateGraceSeconds;
    for (pid_t pid : processes) {
        while (system_.isRunning(pid) && system_.clock->monotonic() < deadline)
            system_.clock->sleepFor(0.1);
        if (system_.isRunning(pid)) {
            BVLog("Process %@ did not end; killing it", int64_t(pid));
            system_.sendSignal(pid, SIGKILL);
        }
    }
}

int BVUninstaller::runUninstallScript() {
    bv::Preferences::standard().removeObjectForKey(kTrustPreference);
    const fs::path script = scriptFolder_ / kScriptName;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(script, ec))) {
        BVLog("Failed to run script: file not found!");
        std::fprintf(stderr, "Failed to run script: file not found!\n");
        return 1;
    }
    std::string reason;
    if (!isSafeToRun(script, &reason)) {
        BVLog("Refusing to run %@: %@", script.string(), reason);
        std::fprintf(stderr, "Refusing to run %s: %s\n", script.c_str(), reason.c_str());
        return 1;
    }

    const std::string outputPath = bv::bvTmpPath(kScriptOutput);
    bv::UniqueFd output;
    if (!outputPath.empty()) {
        ::unlink(outputPath.c_str());
        output = bv::UniqueFd(
            ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    if (!output)
        BVLog("Cannot create the script's output file %@", outputPath);

    const std::string argument = uninstallData ? "full" : "onlyapp";
    std::vector<std::string> argv;
    if (!system_.runningAsRoot)
        argv.push_back("pkexec");
    argv.push_back(script.string());
    argv.push_back(argument);
    BVLog("Running %@ %@", script.string(), argument);
    int status = system_.run(argv, output ? output.get() : -1);
    if (status != 0) {
        BVLog("The removal script failed with status %@", int64_t(status));
        std::fprintf(stderr, "The removal script failed (status %d); see %s\n", status,
                     outputPath.c_str());
        return 1;
    }
    return 0;
}

void BVUninstaller::resetUserDefaults() {
    auto& preferences = bv::Preferences::standard();
    preferences.reload();
    // A full removal may already have taken the preference folder; writing the keys away
    // would only put an empty file back.
    std::error_code ec;
    if (!fs::exists(preferences.filePath(), ec))
        return;
    for (const char* key : {"bvuser", "savePswd", "autoLogin", "savedEmails"})
        preferences.removeObjectForKey(key);
}

bool BVUninstaller::isSafeToRun(const fs::path& script, std::string* reason) {
    auto refuse = [&](const std::string& why) {
        if (reason)
            *reason = why;
        return false;
    };
    struct stat st {};
    if (::lstat(script.c_str(), &st) != 0)
        return refuse("it cannot be read");
    if (!S_ISREG(st.st_mode))
        return refuse("it is not a regular file");
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return refuse("it belongs to another user");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return refuse("others may change it");
    std::error_code ec;
    fs::path folder = fs::weakly_canonical(fs::absolute(script, ec), ec).parent_path();
    for (;; folder = folder.parent_path()) {
        struct stat fst {};
        if (::stat(folder.c_str(), &fst) != 0)
            return refuse("its folder " + folder.string() + " cannot be read");
        // A sticky folder such as /tmp lets others add names but not replace ours.
        const bool othersMayRename =
            (fst.st_mode & (S_IWGRP | S_IWOTH)) && !(fst.st_mode & S_ISVTX);
        if ((fst.st_uid != 0 && fst.st_uid != ::geteuid()) || othersMayRename)
            return refuse("others may change its folder " + folder.string());
        if (folder == folder.parent_path())
            break;
    }
    return true;
}

fs::path BVUninstaller::installedScriptFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    // Installed: <prefix>/bin/bvuninstaller and <prefix>/lib/brimvault/uninstaller.sh.
    // In a build tree the script is copied beside the program.
    fs::path installed = exe.parent_path().parent_path() / "lib" / "brimvault";
    if (fs::exists(installed / kScriptName, ec))
        return installed;
    return exe.parent_path();
}
