#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"

// Removes the suite: the signed-in user's stored passwords and preferences, the login item,
// the mounted volume and the running programs, then the installed files through the removal
// script. Every step runs whatever the previous one did; only the script's outcome decides
// the exit status.
class BVUninstaller {
  public:
    // What the steps touch outside the process, replaceable so tests can watch them.
    struct System {
        // Runs argv (no shell) with its standard output and error on outputFd (-1: ours);
        // answers the exit status, or -1 when it could not be started.
        std::function<int(const std::vector<std::string>& argv, int outputFd)> run;
        // This user's running brimvault and keelhaven processes, found by their executable;
        // never this process.
        std::function<std::vector<pid_t>()> suiteProcesses;
        std::function<bool(pid_t pid)> isRunning;
        std::function<void(pid_t pid, int signal)> sendSignal;
        // Force-unmounts a mount point; false when it was not unmounted.
        std::function<bool(const std::string& mountPoint)> forceUnmount;
        std::shared_ptr<bv::Clock> clock = bv::Clock::system();
        bool runningAsRoot = false;

        static System live();
    };

    static constexpr const char* kScriptName = "uninstaller.sh";
    static constexpr const char* kScriptOutput = "/tmp/BVlog";
    static constexpr const char* kAutostartFileName = "brimvault.desktop";
    static constexpr const char* kUserServiceName = "brimvault.service";
    // How long ended programs get after SIGTERM before SIGKILL.
    static constexpr double kTerminateGraceSeconds = 5.0;

    // scriptFolder: where the removal script ships (beside the installed program).
    BVUninstaller(System system, std::filesystem::path scriptFolder);

    // Whether the user's data goes too ("full") or only the programs ("onlyapp").
    bool uninstallData = true;

    // The removal in its order; answers the exit status (0 when the script succeeded).
    int uninstall();

    void loadParameters();
    void deleteSecrets();
    void deleteLoginItem();
    void killBrimvaultApp();
    // 0 when the script ran and succeeded; 1 when it is missing, unsafe or failed.
    int runUninstallScript();
    void resetUserDefaults();

    const std::string& userName() const { return userName_; }
    // The script, when it is safe to run with administrator rights: a regular file, not a
    // link, owned by root or by us, not writable by others, and in folders that nobody else
    // could rename or replace (ours or root's, writable by others only when sticky).
    static bool isSafeToRun(const std::filesystem::path& script, std::string* reason);
    // The folder the script ships in, relative to this program's own executable.
    static std::filesystem::path installedScriptFolder();

  private:
    System system_;
    std::filesystem::path scriptFolder_;
    std::string userName_;
};
