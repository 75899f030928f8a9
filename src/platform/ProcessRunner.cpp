#include "platform/ProcessRunner.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern char** environ;

namespace bv {

namespace {

int statusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// This process's environment with the entries added, each replacing one of its name.
std::vector<std::string> withEnvironment(const std::vector<std::string>& added) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        bool replaced = false;
        for (const auto& add : added)
            replaced = replaced || nameOf(add) == nameOf(text);
        if (!replaced)
            result.push_back(std::move(text));
    }
    result.insert(result.end(), added.begin(), added.end());
    return result;
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
    // A descriptor duplicated onto itself loses close-on-exec in the child only.
    for (int fd : options.inheritedFds)
        posix_spawn_file_actions_adddup2(&actions, fd, fd);
    std::vector<std::string> environment = withEnvironment(options.environment);
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    // posix_spawn reports a program that cannot be executed as its own failure.
    const int failed =
        options.searchPath
            ? ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data())
            : ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
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
