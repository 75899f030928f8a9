#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class BVFolderListItem;

// Where changes to the account's items, made by this client or learned from the service, are
// reported by volume path, so that whoever serves the items from a copy of its own (the
// kernel's caches behind the mounted volume) drops that copy.
//
// One hook per process: the mounted volume installs itself and removes itself when the mount
// ends. Reports with no hook installed go nowhere. notify() may be called from any thread; it
// waits for the hook's work only as long as asked (never from a thread that holds a lock a
// file-system call may need: a refresh holding a folder lock asks for no wait).
class BVVolumeChangeHook {
  public:
    virtual ~BVVolumeChangeHook() = default;
    // The items at these paths changed, appeared or went away.
    virtual void itemsChanged(const std::vector<std::string>& paths) = 0;
    // Waits until what was reported so far is applied, at most seconds.
    virtual void waitUntilApplied(double seconds) = 0;

    // Replaces the process's hook; null removes it.
    static void install(std::shared_ptr<BVVolumeChangeHook> hook);
    // A change the caller is about to tell someone about (a menu command's answer) waits until
    // it is applied, up to waitSeconds.
    static void notify(const std::vector<std::string>& paths, double waitSeconds = 0);

    // The listing of a folder as the cache holds it, or null.
    using CachedListing = std::function<std::shared_ptr<BVFolderListItem>(const std::string&)>;
    // The paths whose entries differ between two listings of the folder at path: names added,
    // removed, or whose kind, identifier, size or date changed, with the folder itself when any
    // did. Below a folder that went (or whose identifier changed), every path its cached listings
    // name (to any depth) is included too, since the kernel may hold any of them.
    static std::vector<std::string> changedPaths(const std::string& path,
                                                 const BVFolderListItem* before,
                                                 const BVFolderListItem& after,
                                                 const CachedListing& cachedListing);
};
