#pragma once

#include <curl/curl.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Error.h"

// A transfer driven by the network thread. The thread calls every member on itself.
class BVNetworkTransfer {
  public:
    virtual ~BVNetworkTransfer() = default;
    // The configured easy handle; owned by the transfer, alive as long as it is.
    virtual CURL* easyHandle() const = 0;
    // The exchange ended (CURLE_OK when answered) or could not start.
    virtual void transferDidComplete(CURLcode code) = 0;
    // The thread failed and dropped the transfer; nothing more comes.
    virtual void transferDidFail(const bv::Error& error) = 0;
    // Called after each turn in which curl may have handed the transfer data.
    virtual void flushEvents() {}
};

// The one process-wide thread that runs every asynchronous exchange on a curl multi
// handle. Other threads hand it work; it never calls back into them directly. Started
// on first use; shutdown() (also run at exit) stops and joins it, and a later add()
// starts it again.
//
// When the thread fails (curl's multi interface reports an error, or something throws), it
// logs why, fails every transfer it had with an error of kErrorDomain, and ends; the next
// add() starts a new one.
class BVNetworkThread {
  public:
    static constexpr const char* kErrorDomain = "CURLMErrorDomain";

    static BVNetworkThread& shared();

    BVNetworkThread();
    ~BVNetworkThread();
    BVNetworkThread(const BVNetworkThread&) = delete;
    BVNetworkThread& operator=(const BVNetworkThread&) = delete;

    // Starts the transfer; the thread keeps it alive until it completes or is removed.
    void add(std::shared_ptr<BVNetworkTransfer> transfer);
    // Stops the transfer without completing it.
    void remove(std::shared_ptr<BVNetworkTransfer> transfer);
    // Resumes receiving on a transfer whose delegate paused it.
    void resume(std::shared_ptr<BVNetworkTransfer> transfer);
    // Drops every transfer without completing it and joins the thread.
    void shutdown();

    // For tests: the running thread calls fault once at its next turn, in place of curl's
    // multi interface; a code other than CURLM_OK, or an exception, fails the thread.
    void injectFault(std::function<CURLMcode()> fault);

  private:
    enum class CommandKind { add, remove, resume };
    struct Command {
        CommandKind kind;
        std::shared_ptr<BVNetworkTransfer> transfer;
    };
    struct MultiCleanup {
        void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
    };

    void enqueue(CommandKind kind, std::shared_ptr<BVNetworkTransfer> transfer);
    void run();
    // One turn: commands, curl's work, events, finished transfers, the wait. Throws when
    // curl's multi interface fails; false once stopping.
    bool turn();
    bool runCommands();
    void startTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer);
    void stopTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer);
    void finishDoneTransfers();
    void dropAllTransfers();
    // After a failure: every running and queued transfer fails with error.
    void failAllTransfers(const bv::Error& error);

    std::mutex commandsLock_;  // guards the five below and replacing multi_
    // Made when the thread starts, destroyed when it ends. Driven by the thread alone;
    // other threads only wake it, holding commandsLock_.
    std::unique_ptr<CURLM, MultiCleanup> multi_;
    std::deque<Command> commands_;
    bool stopping_ = false;
    bool ended_ = false;  // the thread failed and returned; joined by the next add()
    std::function<CURLMcode()> fault_;
    std::thread thread_;

    // Owned by the network thread alone; keyed by the object each handle carries in
    // CURLOPT_PRIVATE.
    std::map<BVNetworkTransfer*, std::shared_ptr<BVNetworkTransfer>> running_;
};
