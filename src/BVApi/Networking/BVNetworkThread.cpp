#include "BVApi/Networking/BVNetworkThread.h"

#include <vector>

namespace {

// How long the thread sleeps in poll when nothing happens; wake-ups cut it short.
constexpr int kPollMilliseconds = 1000;

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

void BVNetworkThread::enqueue(CommandKind kind, std::shared_ptr<BVNetworkTransfer> transfer) {
    std::lock_guard lock(commandsLock_);
    // Work handed over while the thread is being stopped is dropped with it.
    if (stopping_)
        return;
    if (!thread_.joinable()) {
        if (kind != CommandKind::add)
            return;
        multi_.reset(curl_multi_init());
        if (!multi_)
            return;
        thread_ = std::thread([this] { run(); });
    }
    commands_.push_back({kind, std::move(transfer)});
    curl_multi_wakeup(multi_.get());
}

void BVNetworkThread::shutdown() {
    std::thread stopped;
    {
        std::lock_guard lock(commandsLock_);
        if (!thread_.joinable())
            return;
        stopping_ = true;
        stopped = std::move(thread_);
        curl_multi_wakeup(multi_.get());
    }
    stopped.join();
    std::deque<Command> dropped;
    {
        std::lock_guard lock(commandsLock_);
        dropped.swap(commands_);
        stopping_ = false;
    }
}

void BVNetworkThread::run() {
    try {
        while (runCommands()) {
            int stillRunning = 0;
            curl_multi_perform(multi_.get(), &stillRunning);
            for (auto& [owner, transfer] : running_)
                transfer->flushEvents();
            finishDoneTransfers();
            curl_multi_poll(multi_.get(), nullptr, 0, kPollMilliseconds, nullptr);
        }
    } catch (...) {
        // Nothing may escape the thread; the transfers still running are dropped below.
    }
    dropAllTransfers();
    // Closes the cached connections too, so servers are not left waiting on them.
    std::lock_guard lock(commandsLock_);
    multi_.reset();
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
                    curl_easy_pause(command.transfer->easyHandle(), CURLPAUSE_CONT);
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
    curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void*>(transfer.get()));
    if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
        transfer->transferDidComplete(CURLE_FAILED_INIT);
        return;
    }
    running_[transfer.get()] = transfer;
}

void BVNetworkThread::stopTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer) {
    auto found = running_.find(transfer.get());
    if (found == running_.end())
        return;
    curl_multi_remove_handle(multi_.get(), transfer->easyHandle());
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
        curl_multi_remove_handle(multi_.get(), easy);
        running_.erase(found);
        try {
            transfer->transferDidComplete(result);
        } catch (...) {
        }
    }
}

void BVNetworkThread::dropAllTransfers() {
    for (auto& [owner, transfer] : running_)
        curl_multi_remove_handle(multi_.get(), transfer->easyHandle());
    running_.clear();
}
