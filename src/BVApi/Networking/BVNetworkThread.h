#pragma once

#include <curl/curl.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

// A transfer driven by the network thread. The thread calls every member on itself.
class BVNetworkTransfer {
  public:
    virtual ~BVNetworkTransfer() = default;
    // The configured easy handle; owned by the transfer, alive as long as it is.
    virtual CURL* easyHandle() const = 0;
    // The exchange ended (CURLE_OK when answered) or could not start.
    virtual void transferDidComplete(CURLcode code) = 0;
    // Called after each turn in which curl may have handed the transfer data.
    virtual void flushEvents() {}
};

// The one process-wide thread that runs every asynchronous exchange on a curl multi
// handle. Other threads hand it work; it never calls back into them directly. Started
// on first use; shutdown() (also run at exit) stops and joins it, and a later add()
// starts it again.
class BVNetworkThread {
  public:
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
    bool runCommands();
    void startTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer);
    void stopTransfer(const std::shared_ptr<BVNetworkTransfer>& transfer);
    void finishDoneTransfers();
    void dropAllTransfers();

    std::mutex commandsLock_;  // guards commands_, stopping_, thread_ and replacing multi_
    // Made when the thread starts, destroyed when it ends. Driven by the thread alone;
    // other threads only wake it, holding commandsLock_.
    std::unique_ptr<CURLM, MultiCleanup> multi_;
    std::deque<Command> commands_;
    bool stopping_ = false;
    std::thread thread_;

    // Owned by the network thread alone; keyed by the object each handle carries in
    // CURLOPT_PRIVATE.
    std::map<BVNetworkTransfer*, std::shared_ptr<BVNetworkTransfer>> running_;
};
