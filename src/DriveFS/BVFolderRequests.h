#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// Which folders have a kernel request under way that holds the folder's lock in the kernel
// (a lookup, a listing, a create, a removal, a rename), by volume path.
//
// The kernel's entry invalidation of a folder takes that same lock and cannot be interrupted:
// sent while such a request waits for its answer, it only waits; but if the daemon is killed
// meanwhile, the sending thread never leaves the kernel, the process never ends, and the
// request is never answered nor aborted. The invalidator sends it once the folder is quiet.
//
// Thread-safe; shared by the kernel's worker threads and the invalidator's thread.
class BVFolderRequests {
  public:
    // One request, counted against each of its folders from construction to destruction.
    class Request {
      public:
        Request(BVFolderRequests& requests, std::vector<std::string> folders);
        ~Request();
        Request(const Request&) = delete;
        Request& operator=(const Request&) = delete;

      private:
        BVFolderRequests& requests_;
        std::vector<std::string> folders_;
    };

    BVFolderRequests() = default;
    BVFolderRequests(const BVFolderRequests&) = delete;
    BVFolderRequests& operator=(const BVFolderRequests&) = delete;

    bool isQuiet(const std::string& folder) const;
    // Waits until no request of the folder is under way (true), the deadline passes or
    // giveUp() answers true (false). giveUp is called under the lock: it only reads a flag.
    bool waitUntilQuiet(const std::string& folder, std::chrono::steady_clock::time_point deadline,
                        const std::function<bool()>& giveUp);
    // Has every waiter ask its giveUp() again.
    void wakeWaiters();

  private:
    // Counts all or none of the folders.
    void begin(const std::vector<std::string>& folders);
    void end(const std::vector<std::string>& folders) noexcept;

    mutable std::mutex countsLock_;  // guards counts_ (a leaf)
    std::condition_variable folderQuiet_;
    std::map<std::string, unsigned> counts_;  // only folders with a request under way
};
