#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

// Keeps a benchmark from leaving the reference service it started running, however the
// benchmark ends. enter() forks: the benchmark goes on in the child, in a process group of
// its own, while this process only waits for it. When the child ends (done, failed or
// crashed), or this process is asked to stop, the whole group is killed, the service with it,
// and this process exits with the child's status. Call it first in main, before any thread.
class BenchProcessGuard {
  public:
    static void enter() {
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("fork (the benchmark runs unguarded)");
            return;
        }
        if (child == 0) {
            ::setpgid(0, 0);
            // A guard that is killed outright takes the benchmark along.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == 1)
                ::_exit(1);
            return;
        }
        ::setpgid(child, child);
        // The service is the benchmark's child: orphaned by a crash it comes to us.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        group() = child;
        struct sigaction stop {};
        stop.sa_handler = [](int) { ::kill(-group(), SIGKILL); };
        ::sigemptyset(&stop.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::sigaction(signal, &stop, nullptr);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        ::kill(-child, SIGKILL);
        while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        if (WIFSIGNALED(status)) {
            std::fprintf(stderr, "the benchmark ended with signal %d\n", WTERMSIG(status));
            std::_Exit(128 + WTERMSIG(status));
        }
        std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }

  private:
    static pid_t& group() {
        static pid_t pid = 0;
        return pid;
    }
};
