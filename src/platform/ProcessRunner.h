#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace bv {

// Starts programs as child processes, without a shell, and waits for them. The caller that
// starts a child owns it and must wait for it (wait(), or tryWait() until it answers), so
// that no zombie stays behind.
class ProcessRunner {
  public:
    struct Options {
        // Standard output and error go there (-1: the parent's).
        int outputFd = -1;
        // Look the program up on PATH (else argv[0] is the path to run).
        bool searchPath = false;
        // Added to (or replacing, by name) the parent's environment: "NAME=value".
        std::vector<std::string> environment = {};
        // Descriptors the child keeps under their own numbers although they are
        // close-on-exec here, so that no other child started meanwhile inherits them.
        std::vector<int> inheritedFds = {};
    };

    // The child's pid; nothing when it could not be started (a missing or not executable
    // program, an empty argv).
    static std::optional<pid_t> spawn(const std::vector<std::string>& argv, const Options& options);
    static std::optional<pid_t> spawn(const std::vector<std::string>& argv) {
        return spawn(argv, Options{});
    }
    // Waits for the child's end: its exit status, or -1 when a signal ended it.
    static int wait(pid_t pid);
    // The exit status as wait() gives it once the child has ended; nothing while it runs.
    static std::optional<int> tryWait(pid_t pid);
    // spawn() and wait(): the exit status, -1 when it could not be started or was killed.
    static int run(const std::vector<std::string>& argv, const Options& options);
};

}  // namespace bv
