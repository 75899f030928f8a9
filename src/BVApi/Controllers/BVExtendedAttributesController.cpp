#include "BVApi/Controllers/BVExtendedAttributesController.h"

#include <ctime>

#include "BVApi/Cache/BVCacheController.h"
#include "app/Logging/BVLogging.h"

namespace {

std::mutex sharedControllerLock;  // guards sharedInstance
std::shared_ptr<BVExtendedAttributesController> sharedInstance;

std::shared_ptr<BVSharedXAttrs> copyOf(const BVSharedXAttrs& record) {
    auto copy = std::make_shared<BVSharedXAttrs>();
    copy->identifier = record.identifier;
    copy->timeReceived = record.timeReceived;
    copy->dateModified = record.dateModified;
    copy->xattrsByPath = record.xattrsByPath;
    return copy;
}

// The path itself or a path below it; "/" holds everything.
bool isAtOrBelow(const std::string& candidate, const std::string& path) {
    if (candidate.compare(0, path.size(), path) != 0)
        return false;
    return candidate.size() == path.size() || (!path.empty() && path.back() == '/') ||
           candidate[path.size()] == '/';
}

// Removes the entries at or below path from map and answers them.
BVXattrMap extractSubtree(BVXattrMap& map, const std::string& path) {
    BVXattrMap taken;
    // Entries below path sort after it and before the first key past its prefix, but "/"
    // sorts after characters like " " and "-", so the prefix range is scanned as a whole.
    for (auto it = map.lower_bound(path);
         it != map.end() && it->first.compare(0, path.size(), path) == 0;) {
        if (isAtOrBelow(it->first, path)) {
            taken.insert(map.extract(it++));
        } else {
            ++it;
        }
    }
    return taken;
}

}  // namespace

BVExtendedAttributesController::BVExtendedAttributesController(
    std::shared_ptr<BVCacheController> cache)
    : cache_(std::move(cache)) {
    if (cache_)
        record_ = cache_->fetch<BVSharedXAttrs>("default");
    if (!record_)
        record_ = std::make_shared<BVSharedXAttrs>();
}

std::shared_ptr<BVExtendedAttributesController> BVExtendedAttributesController::sharedController() {
    auto cache = BVCacheController::sharedController();
    std::lock_guard<std::mutex> lock(sharedControllerLock);
    if (!sharedInstance || sharedInstance->cache_ != cache)
        sharedInstance = std::make_shared<BVExtendedAttributesController>(cache);
    return sharedInstance;
}

void BVExtendedAttributesController::resetSharedController() {
    std::lock_guard<std::mutex> lock(sharedControllerLock);
    sharedInstance.reset();
}

std::optional<std::string> BVExtendedAttributesController::storedNameFor(const std::string& name) {
    if (name == kTagsName || name == kLinuxTagsName || name == std::string("user.") + kTagsName)
        return std::string(kTagsName);
    if (name == kFinderInfoName || name == kLinuxFinderInfoName)
        return std::string(kFinderInfoName);
    return std::nullopt;
}

std::string BVExtendedAttributesController::listedNameFor(const std::string& storedName) {
    if (storedName == kTagsName)
        return kLinuxTagsName;
    if (storedName == kFinderInfoName)
        return kLinuxFinderInfoName;
    return storedName;
}

std::shared_ptr<BVSharedXAttrs> BVExtendedAttributesController::sharedXAttrs() const {
    std::lock_guard<std::mutex> lock(recordLock_);
    return copyOf(*record_);
}

std::vector<std::string> BVExtendedAttributesController::extendedAttributesOfItemAtPath(
    const std::string& path, bv::Error* /*error*/) const {
    std::shared_ptr<BVSharedXAttrs> record;
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        record = record_;
    }
    std::vector<std::string> names;
    auto it = record->xattrsByPath.find(path);
    if (it != record->xattrsByPath.end())
        for (const auto& [name, value] : it->second)
            names.push_back(listedNameFor(name));
    return names;
}

std::optional<bv::Data> BVExtendedAttributesController::valueOfExtendedAttribute(
    const std::string& name, const std::string& path, uint64_t position,
    bv::Error* /*error*/) const {
    auto stored = storedNameFor(name);
    if (!stored)
        return std::nullopt;
    std::shared_ptr<BVSharedXAttrs> record;
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        record = record_;
    }
    auto entry = record->xattrsByPath.find(path);
    if (entry == record->xattrsByPath.end())
        return std::nullopt;
    auto value = entry->second.find(*stored);
    if (value == entry->second.end())
        return std::nullopt;
    if (position >= value->second.size())
        return bv::Data();
    return value->second.subdata(size_t(position), value->second.size());
}

template <typename Change>
void BVExtendedAttributesController::update(Change change) {
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        auto next = copyOf(*record_);
        if (!change(next->xattrsByPath))
            return;
        next->dateModified = cache_ ? cache_->now() : double(std::time(nullptr));
        record_ = std::move(next);
    }
    store();
}

void BVExtendedAttributesController::store() {
    if (!cache_)
        return;
    std::lock_guard<std::mutex> storing(storeLock_);
    std::shared_ptr<BVSharedXAttrs> latest;
    {
        std::lock_guard<std::mutex> lock(recordLock_);
        latest = record_;
    }
    cache_->storeItem(latest);
}

bool BVExtendedAttributesController::setExtendedAttribute(const std::string& name,
                                                          const std::string& path,
                                                          const bv::Data& value, uint64_t position,
                                                          int /*options*/, bv::Error* /*error*/) {
    auto stored = storedNameFor(name);
    if (!stored) {
        BVLog("failed to set xattr: ignored name");
        return true;
    }
    update([&](BVXattrMap& map) {
        bv::Data& slot = map[path][*stored];
        if (position < slot.size())
            slot.resize(size_t(position));
        slot.append(value);
        return true;
    });
    return true;
}

bool BVExtendedAttributesController::removeExtendedAttribute(const std::string& name,
                                                             const std::string& path,
                                                             bv::Error* /*error*/) {
    auto stored = storedNameFor(name);
    if (!stored)
        return true;
    update([&](BVXattrMap& map) {
        auto entry = map.find(path);
        if (entry == map.end() || entry->second.erase(*stored) == 0)
            return false;
        if (entry->second.empty())
            map.erase(entry);
        return true;
    });
    return true;
}

void BVExtendedAttributesController::removeExtendedAttributesAt(const std::string& path) {
    update([&](BVXattrMap& map) { return map.erase(path) > 0; });
}

void BVExtendedAttributesController::moveExtendedAttributesFrom(const std::string& oldPath,
                                                                const std::string& newPath) {
    if (oldPath == newPath)
        return;
    update([&](BVXattrMap& map) {
        BVXattrMap moving = extractSubtree(map, oldPath);
        if (moving.empty())
            return false;
        extractSubtree(map, newPath);
        for (auto& [path, attributes] : moving)
            map[newPath + path.substr(oldPath.size())] = std::move(attributes);
        return true;
    });
}

void BVExtendedAttributesController::removeExtendedAttributesRecursivelyAt(
    const std::string& path) {
    update([&](BVXattrMap& map) { return !extractSubtree(map, path).empty(); });
}
