#pragma once

#include <functional>
#include <string>
#include <vector>

// Hands a downloaded package to the system's package installer. Root runs the installer
// itself; another user goes through pkexec, else sudo; with neither, the caller prints the
// command for the user to run as root. Only programs of the system (owned by root, writable
// by nobody else) are run, by their full path.
class BVUpdateInstaller {
  public:
    struct System {
        bool root = false;
        // Whether the program at a full path is one of the system's.
        std::function<bool(const std::string& path)> isSystemProgram;
        static System current();
    };

    struct Plan {
        // What to run; empty when nothing can be run here.
        std::vector<std::string> argv;
        // The command as the user would type it as root.
        std::string manualCommand;
        // Why nothing is run, when argv is empty.
        std::string reason;
    };

    // The hand-off for the package file (a full path); assumeYes lets the installer go on
    // without asking.
    static Plan plan(const std::string& package, bool assumeYes, const System& system);
};
