#include "BVApi/Controllers/BVVolumeChangeHook.h"

#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVVolumePath.h"

namespace {

std::mutex hookLock;  // guards hook (a leaf; the hook is called after it is released)
std::shared_ptr<BVVolumeChangeHook> hook;

// What of an entry the volume shows: a change in any of these is a change of the item.
using EntryState = std::tuple<bool, std::string, int64_t, double>;

std::map<std::string, EntryState> entriesOf(const BVFolderListItem* listing) {
    std::map<std::string, EntryState> entries;
    if (!listing)
        return entries;
    for (const auto& folder : listing->folders)
        if (folder)
            entries[folder->name] = {true, folder->identifier, 0, folder->dateModified};
    for (const auto& file : listing->files)
        if (file)
            entries[file->name] = {false, file->identifier, file->size, file->dateModified};
    return entries;
}

// A folder's loop guard: listings come from the service and may name themselves.
constexpr int kMaxDepth = 64;

void addCachedDescendants(const std::string& folder,
                          const BVVolumeChangeHook::CachedListing& cached, int depth,
                          std::set<std::string>& paths) {
    if (depth > kMaxDepth || !cached)
        return;
    auto listing = cached(folder);
    if (!listing)
        return;
    for (const auto& [name, state] : entriesOf(listing.get())) {
        const std::string child = BVVolumePath::appending(folder, name);
        if (paths.insert(child).second && std::get<0>(state))
            addCachedDescendants(child, cached, depth + 1, paths);
    }
}

}  // namespace

void BVVolumeChangeHook::install(std::shared_ptr<BVVolumeChangeHook> replacement) {
    std::lock_guard<std::mutex> guard(hookLock);
    hook = std::move(replacement);
}

void BVVolumeChangeHook::notify(const std::vector<std::string>& paths, double waitSeconds) {
    std::shared_ptr<BVVolumeChangeHook> current;
    {
        std::lock_guard<std::mutex> guard(hookLock);
        current = hook;
    }
    if (!current || paths.empty())
        return;
    current->itemsChanged(paths);
    if (waitSeconds > 0)
        current->waitUntilApplied(waitSeconds);
}

std::vector<std::string> BVVolumeChangeHook::changedPaths(const std::string& path,
                                                          const BVFolderListItem* before,
                                                          const BVFolderListItem& after,
                                                          const CachedListing& cachedListing) {
    const auto old = entriesOf(before);
    const auto fresh = entriesOf(&after);
    std::set<std::string> paths;
    for (const auto& [name, state] : old) {
        auto it = fresh.find(name);
        if (it != fresh.end() && it->second == state)
            continue;
        const std::string child = BVVolumePath::appending(path, name);
        paths.insert(child);
        // Only a folder that went (or is another folder now) takes its contents with it; a
        // new date alone says its own listing changed, which its own refresh reports.
        const bool folderWent =
            std::get<0>(state) && (it == fresh.end() || !std::get<0>(it->second) ||
                                   std::get<1>(it->second) != std::get<1>(state));
        if (folderWent)
            addCachedDescendants(child, cachedListing, 1, paths);
    }
    for (const auto& [name, state] : fresh)
        if (!old.count(name))
            paths.insert(BVVolumePath::appending(path, name));
    if (!paths.empty())
        paths.insert(path);
    return {paths.begin(), paths.end()};
}
