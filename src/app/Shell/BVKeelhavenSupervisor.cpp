#include "app/Shell/BVKeelhavenSupervisor.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "app/Logging/BVLogging.h"
#include "platform/ProcessRunner.h"

struct BVKeelhavenSupervisor::Child {
    pid_t pid = -1;
    double startedAt = 0;
    std::mutex endLock;  // guards ended
    std::condition_variable endChanged;
    bool ended = false;
    bool stopping = false;  // main thread only
};

BVKeelhavenSupervisor::BVKeelhavenSupervisor(Options options) : options_(std::move(options)) {}

BVKeelhavenSupervisor::~BVKeelhavenSupervisor() {
    stop();
    lifetime_.reset();
}

bool BVKeelhavenSupervisor::isSafeToRun(const std::string& path) {
    auto safe = [](const std::string& p, bool wantFile) {
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0)
            return false;
        if (wantFile ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))
            return false;
        if (st.st_uid != ::getuid() && st.st_uid != 0)
            return false;
        return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    if (path.empty() || ::access(path.c_str(), X_OK) != 0)
        return false;
    return safe(path, true) && safe(std::filesystem::path(path).parent_path().string(), false);
}

bool BVKeelhavenSupervisor::running() const {
    return child_ != nullptr;
}

pid_t BVKeelhavenSupervisor::pid() const {
    return child_ ? child_->pid : -1;
}

bool BVKeelhavenSupervisor::start() {
    wanted_ = true;
    if (child_)
        return true;
    if (!isSafeToRun(options_.binary)) {
        BVLog("Keelhaven not started: %@ is missing or others may change it", options_.binary);
        return false;
    }
    if (watcher_.joinable())
        watcher_.join();
    auto child = std::make_shared<Child>();
    // Keelhaven quits by itself when this process ends, even when it is killed.
    std::vector<std::string> argv{options_.binary, "--watch-pid", std::to_string(::getpid())};
    if (!options_.mountDirectory.empty())
        argv.insert(argv.end(), {"--mount-dir", options_.mountDirectory});
    auto pid = bv::ProcessRunner::spawn(argv);
    if (!pid) {
        BVLog("Keelhaven could not be started from %@", options_.binary);
        return false;
    }
    child->pid = *pid;
    child->startedAt = options_.scheduler->clock()->monotonic();
    child_ = child;
    ++launches_;
    BVLog("Keelhaven started with %d", child->pid);
    std::weak_ptr<int> alive = lifetime_;
    auto scheduler = options_.scheduler;
    watcher_ = std::thread([this, child, alive, scheduler] {
        bv::ProcessRunner::wait(child->pid);
        {
            std::lock_guard lock(child->endLock);
            child->ended = true;
        }
        child->endChanged.notify_all();
        scheduler->onMain([this, child, alive] {
            if (alive.lock())
                childEnded(child);
        });
    });
    return true;
}

void BVKeelhavenSupervisor::childEnded(const std::shared_ptr<Child>& child) {
    if (child_ != child || child->stopping)
        return;
    child_.reset();
    if (!wanted_)
        return;
    double ranFor = options_.scheduler->clock()->monotonic() - child->startedAt;
    if (ranFor < kQuickExit)
        restartDelay_ = std::min(kMaxRestartDelay, restartDelay_ == 0 ? 1 : restartDelay_ * 2);
    else
        restartDelay_ = 0;
    BVLog("KHV terminated - restarting");
    if (restartDelay_ > 0)
        BVLog("Keelhaven ended %d seconds after its start; next start in %d seconds",
              static_cast<int>(ranFor), static_cast<int>(restartDelay_));
    std::weak_ptr<int> alive = lifetime_;
    uint64_t generation = restartGeneration_;
    options_.scheduler->after(restartDelay_, [this, alive, generation] {
        if (alive.lock() && generation == restartGeneration_ && wanted_)
            start();
    });
}

bool BVKeelhavenSupervisor::waitForEnd(const std::shared_ptr<Child>& child, double seconds) {
    std::unique_lock lock(child->endLock);
    return child->endChanged.wait_for(lock, std::chrono::duration<double>(seconds),
                                      [&] { return child->ended; });
}

void BVKeelhavenSupervisor::stop() {
    wanted_ = false;
    ++restartGeneration_;
    auto child = std::move(child_);
    child_.reset();
    if (child) {
        child->stopping = true;
        bool asked = options_.sendClose && options_.sendClose();
        if (!asked || !waitForEnd(child, options_.closeGrace)) {
            ::kill(child->pid, SIGTERM);
            if (!waitForEnd(child, options_.termGrace)) {
                BVLog("Keelhaven did not end on SIGTERM; killing %d", child->pid);
                ::kill(child->pid, SIGKILL);
            }
        }
    }
    if (watcher_.joinable())
        watcher_.join();
}
