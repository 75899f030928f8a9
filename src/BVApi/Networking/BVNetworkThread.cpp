#include "BVApi/Networking/BVNetworkThread.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "app/Logging/BVLogging.h"
#include "platform/UnhandledException.h"

namespace {

// How long the thread sleeps in poll when nothing happens; wake-ups cut it short.
constexpr int kPollMilliseconds = 1000;

// A failure of curl's multi interface; it ends the thread.
class MultiFailure : public std::runtime_error {
  public:
    MultiFailure(const char* call, CURLMcode code)
        : std::runtime_error(std::string(call) + ": " + curl_multi_strerror(code)), code(code) {}
    CURLMcode code;
};

void check(const char* call, CURLMcode code) {
    if (code != CURLM_OK)
        throw MultiFailure(call, code);
}

// For calls whose failure leaves the thread usable.
void logIfFailed(const char* call, CURLMcode code) {
    if (code != CURLM_OK)
        BVLog("BVNetworkThread: %@ failed: %@", call, curl_multi_strerror(code));
}

bv::Error threadError(CURLMcode code, const std::string& why) {
    return bv::Error(BVNetworkThread::kErrorDomain, code,
                     {{bv::kFailureReasonKey, "The network thread stopped: " + why}});
}

}  // namespace

BVNetworkThread& BVNetworkThread::shared() {
    // Destroyed at exit, which joins the thread before the rest of the program goes.
    static BVNetworkThread instance;
    return instance;
}

BVNetworkThread::BVNetworkThread() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

BVNetworkThread::~BVNetworkThread() {
    shutdown();
}

void BVNetworkThread::add(std::shared_ptr<BVNetworkTransfer> transfer) {
    enqueue(CommandKind::add, std::move(transfer));
}

void BVNetworkThread::remove(std::shared_ptr<BVNetworkTransfer> transfer) {
    enqueue(CommandKind::remove, std::move(transfer));
}

void BVNetworkThread::resume(std::shared_ptr<BVNetworkTransfer> transfer) {
    enqueue(CommandKind::resume, std::move(transfer));
}

void BVNetworkThread::injectFault(std::function<CURLMcode()> fault) {
    std::lock_guard lock(commandsLock_);
    fault_ = std::move(fault);
    if (multi_)
        curl_multi_wakeup(multi_.get());
}

void BVNetworkThread::enqueue(CommandKind kind, std::shared_ptr<BVNetworkTransfer> transfer) {
    std::thread failed;
    {
        std::lock_guard lock(commandsLock_);
        if (ended_) {
            failed = std::move(thread_);
            ended_ = false;
        }
    }
    if (failed.joinable()) {
        // It is done with its work and only failing its transfers; one of them may be
        // asking from that very thread.
        if (failed.get_id() == std::this_thread::get_id())
            failed.detach();
        else
            failed.join();
    }
    CURLMcode woken = CURLM_OK;
    bool started = true;
    {
        std::lock_guard lock(commandsLock_);
        // Work handed over while the thread is being stopped is dropped with it.
        if (stopping_)
            return;
        if (!thread_.joinable()) {
            if (kind != CommandKind::add)
                return;
            multi_.reset(curl_multi_init());
            started = multi_ != nullptr;
            if (started)
                thread_ = std::thread([this] { run(); });
        }
        if (started) {
            commands_.push_back({kind, transfer});
            woken = curl_multi_wakeup(multi_.get());
        }
    }
    if (!started) {
        BVLog("BVNetworkThread: curl_multi_init failed");
        transfer->transferDidFail(threadError(CURLM_OUT_OF_MEMORY, "curl_multi_init failed"));
    }
    // The thread still looks at its commands within a poll period.
    logIfFailed("curl_multi_wakeup", woken);
}

void BVNetworkThread::shutdown() {
    std::thread stopped;
    {
        std::lock_guard lock(commandsLock_);
        if (!thread_.joinable())
            return;
        stopping_ = true;
        stopped = std::move(thread_);
        if (multi_)
            curl_multi_wakeup(multi_.get());
    }
    stopped.join();
    std::deque<Command> dropped;
    {
        std::lock_guard lock(commandsLock_);
        dropped.swap(commands_);
        stopping_ = false;
        ended_ = false;
    }
}

void BVNetworkThread::run() {
    bv::Error failure;
    try {
        while (turn()) {
        }
    } catch (const MultiFailure& e) {
        failure = threadError(e.code, e.what());
    } catch (...) {
        failure =
            threadError(CURLM_INTERNAL_ERROR, bv::describeException(std::current_exception()));
    }
    if (!failure) {
        dropAllTransfers();
        // Closes the cached connections too, so servers are not left waiting on them.
        std::lock_guard lock(commandsLock_);
        multi_.reset();
        return;
    }
    BVLog("BVNetworkThread stopped: %@; its transfers fail, the next request starts it again",
          failure.failureReason());
    failAllTransfers(failure);
}

bool BVNetworkThread::turn() {
    std::function<CURLMcode()> fault;
    if (!runCommands())
        return false;
    {
        std::lock_guard lock(commandsLock_);
        fault.swap(fault_);
    }
    if (fault)
        check("injected fault", fault());
    int stillRunning = 0;
    check("curl_multi_perform", curl_multi_perform(multi_.get(), &stillRunning));
    for (auto& [owner, transfer] : running_)
        transfer->flushEvents();
    finishDoneTransfers();
    check("curl_multi_poll", curl_multi_poll(multi_.get(), nullptr, 0, kPollMilliseconds, nullptr));
    return true;
}

bool BVNetworkThread::runCommands() {
    std::deque<Command> commands;
    {
        std::lock_guard lock(commandsLock_);
        if (stopping_)
            return false;
        commands.swap(commands_);
    }
    for (auto& command : commands) {
        switch (command.kind) {
            case CommandKind::add:
                startTransfer(command.transfer);
                break;
            case CommandKind::remove:
                stopTransfer(command.transfer);
                break;
            case CommandKind::resume:
                if (running_.count(command.transfer.get())) {
                    CURLcode code = curl_easy_pause(command.transfer->easyHandle(), CURLPAUSE_CONT);
                    if (code != CURLE_OK) {
                        stopTransfer(command.transfer);
                        command.transfer->transferDidComplete(code);
                        break;
                    }
                    command.transfer->flushEvents();
                }
                break;
        }
    }
    return true;
}

void BVNetworkThread::startTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer) {
    CURL* easy = transfer->easyHandle();
    if (!easy || running_.count(transfer.get()))
        return;
    CURLcode set = curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void*>(transfer.get()));
    if (set != CURLE_OK) {
        transfer->transferDidComplete(set);
        return;
    }
    CURLMcode added = curl_multi_add_handle(multi_.get(), easy);
    if (added != CURLM_OK) {
        transfer->transferDidFail(
            bv::Error(kErrorDomain, added,
                      {{bv::kFailureReasonKey,
                        std::string("curl_multi_add_handle: ") + curl_multi_strerror(added)}}));
        return;
    }
    running_[transfer.get()] = transfer;
}

void BVNetworkThread::stopTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer) {
    auto found = running_.find(transfer.get());
    if (found == running_.end())
        return;
    logIfFailed("curl_multi_remove_handle",
                curl_multi_remove_handle(multi_.get(), transfer->easyHandle()));
    running_.erase(found);
}

void BVNetworkThread::finishDoneTransfers() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL* easy = message->easy_handle;
        CURLcode result = message->data.result;
        char* owner = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
        auto found = running_.find(reinterpret_cast<BVNetworkTransfer*>(owner));
        if (found == running_.end())
            continue;
        std::shared_ptr<BVNetworkTransfer> transfer = found->second;
        logIfFailed("curl_multi_remove_handle", curl_multi_remove_handle(multi_.get(), easy));
        running_.erase(found);
        try {
            transfer->transferDidComplete(result);
        } catch (...) {
            bv::reportUnhandledException("BVNetworkThread transferDidComplete",
                                         std::current_exception());
        }
    }
}

void BVNetworkThread::dropAllTransfers() {
    for (auto& [owner, transfer] : running_)
        logIfFailed("curl_multi_remove_handle",
                    curl_multi_remove_handle(multi_.get(), transfer->easyHandle()));
    running_.clear();
}

void BVNetworkThread::failAllTransfers(const bv::Error& error) {
    std::vector<std::shared_ptr<BVNetworkTransfer>> failed;
    for (auto& [owner, transfer] : running_)
        failed.push_back(transfer);
    dropAllTransfers();
    std::deque<Command> commands;
    {
        // From here on an add() starts a new thread, so a transfer that is retried when
        // it hears of the failure runs there.
        std::lock_guard lock(commandsLock_);
        commands.swap(commands_);
        multi_.reset();
        ended_ = true;
    }
    for (auto& command : commands)
        if (command.kind == CommandKind::add)
            failed.push_back(std::move(command.transfer));
    for (auto& transfer : failed) {
        try {
            transfer->transferDidFail(error);
        } catch (...) {
            bv::reportUnhandledException("BVNetworkThread transferDidFail",
                                         std::current_exception());
        }
    }
}
