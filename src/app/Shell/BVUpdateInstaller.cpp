#include "app/Shell/BVUpdateInstaller.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kAptGet = "/usr/bin/apt-get";
constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr const char* kSudo = "/usr/bin/sudo";

}  // namespace

BVUpdateInstaller::System BVUpdateInstaller::System::current() {
    System system;
    system.root = ::geteuid() == 0;
    system.isSystemProgram = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == 0 &&
               (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && ::access(path.c_str(), X_OK) == 0;
    };
    return system;
}

BVUpdateInstaller::Plan BVUpdateInstaller::plan(const std::string& package, bool assumeYes,
                                                const System& system) {
    Plan plan;
    // apt takes an argument as a local package only when it holds a "/" and ends in ".deb".
    std::vector<std::string> install{kAptGet, "install"};
    if (assumeYes)
        install.push_back("-y");
    install.push_back(package);
    plan.manualCommand = "apt-get install " + package;
    if (!system.isSystemProgram(kAptGet)) {
        plan.reason =
            "apt-get is not installed; install " + package + " with the system's package manager";
        return plan;
    }
    if (system.root) {
        plan.argv = install;
        return plan;
    }
    for (const char* elevate : {kPkexec, kSudo}) {
        if (!system.isSystemProgram(elevate))
            continue;
        plan.argv = {elevate};
        plan.argv.insert(plan.argv.end(), install.begin(), install.end());
        return plan;
    }
    plan.reason = "neither pkexec nor sudo is installed; as root, run: " + plan.manualCommand;
    return plan;
}
