#include "platform/ProcessRunner.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace bv {

namespace {

int statusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::optional<pid_t> ProcessRunner::spawn(const std::vector<std::string>& argv,
                                          const Options& options) {
    if (argv.empty() || argv[0].empty())
        return std::nullopt;
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, options.outputFd, STDERR_FILENO);
    }
    pid_t pid = -1;
    // posix_spawn reports a program that cannot be executed as its own failure.
    const int failed = options.searchPath
                           ? ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ)
                           : ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return std::nullopt;
    return pid;
}

int ProcessRunner::wait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return statusOf(status);
}

std::optional<int> ProcessRunner::tryWait(pid_t pid) {
    int status = 0;
    pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == 0)
        return std::nullopt;
    return ended < 0 ? -1 : statusOf(status);
}

int ProcessRunner::run(const std::vector<std::string>& argv, const Options& options) {
    auto pid = spawn(argv, options);
    return pid ? wait(*pid) : -1;
}

}  // namespace bv
