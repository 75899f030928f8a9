#include "BVApi/Cache/BVCacheIndex.h"

#include <cstring>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "platform/KeyedArchive.h"

using json = nlohmann::json;

namespace {

// CBOR head of a major type with its length argument.
void appendHead(std::string& out, uint8_t major, uint64_t length) {
    uint8_t m = uint8_t(major << 5);
    if (length < 24) {
        out.push_back(char(m | length));
    } else if (length <= 0xff) {
        out.push_back(char(m | 24));
        out.push_back(char(length));
    } else if (length <= 0xffff) {
        out.push_back(char(m | 25));
        for (int s = 8; s >= 0; s -= 8)
            out.push_back(char(length >> s));
    } else if (length <= 0xffffffffull) {
        out.push_back(char(m | 26));
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(char(length >> s));
    } else {
        out.push_back(char(m | 27));
        for (int s = 56; s >= 0; s -= 8)
            out.push_back(char(length >> s));
    }
}

void appendText(std::string& out, const std::string& text) {
    appendHead(out, 3, text.size());
    out += text;
}

void appendValue(std::string& out, const json& value) {
    json::to_cbor(value, out);
}

constexpr uint8_t kMajorMap = 5;

}  // namespace

json BVCacheIndex::commonMeta(const BVContentItem& item, json meta, double now,
                              const std::string& runtimeIdentifier) {
    meta["vhash"] = BVCacheContentItem::cacheIndexVersioningHash(item.cls());
    meta["runtimeid"] = runtimeIdentifier;
    meta["controller_version"] = kControllerVersion;
    meta["lastindex"] = now;
    meta["invalidated"] = false;
    meta["key"] = BVCacheContentItem::cacheIndexKey(item);
    return meta;
}

void BVCacheIndex::index(const BVContentItem& item, double now,
                         const std::string& runtimeIdentifier) {
    std::string key = BVCacheContentItem::cacheIndexKey(item);
    json meta = commonMeta(item, BVCacheContentItem::cacheIndexMeta(item), now, runtimeIdentifier);
    std::lock_guard lock(lock_);
    insertLocked(key, std::move(meta));
}

void BVCacheIndex::index(const std::shared_ptr<const BVContentItem>& item, double now,
                         const std::string& runtimeIdentifier) {
    if (!BVCacheContentItem::cacheIndexMetaListsNames(*item)) {
        index(*item, now, runtimeIdentifier);
        return;
    }
    std::string key = BVCacheContentItem::cacheIndexKey(*item);
    json meta = commonMeta(*item, BVCacheContentItem::cacheIndexMetaWithoutNames(*item), now,
                           runtimeIdentifier);
    std::lock_guard lock(lock_);
    insertLocked(key, std::move(meta), item);
}

json BVCacheIndex::wholeMetaLocked(const Slot& slot) {
    if (!slot.namesApart)
        return slot.entry->meta;
    if (slot.names) {
        json meta = slot.entry->meta;
        BVCacheContentItem::addListedNames(meta, *slot.names);
        return meta;
    }
    json whole = json::from_cbor(slot.encodedMeta, true, false);
    return whole.is_discarded() ? slot.entry->meta : whole;
}

void BVCacheIndex::purgeIndexFor(const std::string& key) {
    std::lock_guard lock(lock_);
    eraseLocked(key);
}

std::vector<json> BVCacheIndex::queryUsingPredicate(const BVCacheFilter& filter) const {
    std::lock_guard lock(lock_);
    std::vector<json> matches;
    for (const auto& key : queryKeysUsingPredicate(filter))
        matches.push_back(wholeMetaLocked(entries_.at(key)));
    return matches;
}

std::vector<std::string> BVCacheIndex::queryKeysUsingPredicate(const BVCacheFilter& filter) const {
    std::lock_guard lock(lock_);
    std::vector<std::string> keys;
    if (filter.kind() == BVCacheFilter::Kind::PathIgnoringCaseAndDiacritics) {
        auto it = keysByFoldedPath_.find(filter.value());
        if (it != keysByFoldedPath_.end())
            keys.assign(it->second.begin(), it->second.end());
        return keys;
    }
    for (const auto& [key, slot] : entries_) {
        if (filter.matches(slot.entry->meta))
            keys.push_back(key);
    }
    return keys;
}

size_t BVCacheIndex::keysWithFoldedPath(const std::string& folded, std::string* soleKey) const {
    std::lock_guard lock(lock_);
    auto it = keysByFoldedPath_.find(folded);
    if (it == keysByFoldedPath_.end())
        return 0;
    if (it->second.size() == 1 && soleKey)
        *soleKey = *it->second.begin();
    return it->second.size();
}

bool BVCacheIndex::haveIndexFor(const std::string& key) const {
    std::lock_guard lock(lock_);
    return entries_.count(key) != 0;
}

void BVCacheIndex::invalidateMetaFor(const std::string& key) {
    std::lock_guard lock(lock_);
    auto it = entries_.find(key);
    if (it == entries_.end())
        return;
    auto changed = std::make_shared<Entry>(*it->second.entry);
    // Taken before the stale entry forgets its encoding, which may hold the names.
    changed->meta = wholeMetaLocked(it->second);
    changed->meta["invalidated"] = true;
    changed->facts.invalidated = true;
    it->second.namesApart = false;
    it->second.names.reset();
    markStaleLocked(key, it->second);
    it->second.entry = std::move(changed);
    changed_ = true;
}

BVCacheIndex::Snapshot BVCacheIndex::snapshotFor(const std::string& key) const {
    std::lock_guard lock(lock_);
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.entry;
}

BVCacheIndexMetaValidation BVCacheIndex::validate(const Snapshot& entry,
                                                  BVCacheController& controller) {
    if (!entry)
        return BVCacheIndexMetaNotFound;
    // An unknown "orig_class" gives no class, and no rule can make the entry valid.
    const BVCacheMetaFacts& facts = entry->facts;
    if (facts.invalidated || !facts.currentVersion || !facts.origClass)
        return BVCacheIndexMetaInvalid;
    // The rule may read other classes' indexes; it runs without this index's lock.
    return BVCacheContentItem::validateCacheMeta(*facts.origClass, facts, entry->meta, controller)
               ? BVCacheIndexMetaValid
               : BVCacheIndexMetaInvalid;
}

BVCacheIndexMetaValidation BVCacheIndex::validateMetaFor(const std::string& key,
                                                         BVCacheController& controller) const {
    return validate(snapshotFor(key), controller);
}

bool BVCacheIndex::purgeIndexFor(const std::string& key, const Snapshot& ifStill) {
    std::lock_guard lock(lock_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.entry != ifStill)
        return false;
    eraseLocked(key);
    return true;
}

std::optional<json> BVCacheIndex::metaFor(const std::string& key) const {
    std::lock_guard lock(lock_);
    auto it = entries_.find(key);
    if (it == entries_.end())
        return std::nullopt;
    return wholeMetaLocked(it->second);
}

void BVCacheIndex::setMeta(json meta, const std::string& key) {
    std::lock_guard lock(lock_);
    insertLocked(key, meta.is_object() ? std::move(meta) : json::object());
}

size_t BVCacheIndex::count() const {
    std::lock_guard lock(lock_);
    return entries_.size();
}

std::vector<std::string> BVCacheIndex::keys() const {
    std::lock_guard lock(lock_);
    std::vector<std::string> keys;
    keys.reserve(entries_.size());
    for (const auto& [key, entry] : entries_)
        keys.push_back(key);
    return keys;
}

void BVCacheIndex::insertLocked(const std::string& key, json meta,
                                std::shared_ptr<const BVContentItem> names) {
    eraseLocked(key);
    rememberPathLocked(key, meta);
    const bool apart = names != nullptr;
    entries_.emplace(key, Slot{entryFor(std::move(meta)), {}, {}, apart, std::move(names)});
    stale_.insert(key);
    changed_ = true;
}

BVCacheIndex::Snapshot BVCacheIndex::entryFor(json meta) {
    auto entry = std::make_shared<Entry>();
    entry->facts = BVCacheMetaFacts::of(meta);
    entry->meta = std::move(meta);
    return entry;
}

void BVCacheIndex::eraseLocked(const std::string& key) {
    auto it = entries_.find(key);
    if (it == entries_.end())
        return;
    markStaleLocked(key, it->second);
    stale_.erase(key);
    forgetPathLocked(key, it->second.entry->meta);
    entries_.erase(it);
    changed_ = true;
}

void BVCacheIndex::markStaleLocked(const std::string& key, Slot& slot) {
    if (!stale_.insert(key).second)
        return;
    encodedBytes_ -= 2 * slot.encodedKey.size() + slot.encodedMeta.size();
    encodedKeyBytes_ -= slot.encodedKey.size();
    slot.encodedKey.clear();
    slot.encodedMeta.clear();
}

bool BVCacheIndex::changed() const {
    std::lock_guard lock(lock_);
    return changed_;
}

std::optional<std::pair<bv::Data, size_t>> BVCacheIndex::archiveIfChanged() {
    std::lock_guard lock(lock_);
    if (!changed_)
        return std::nullopt;
    changed_ = false;
    return std::make_pair(archivedData(), entries_.size());
}

void BVCacheIndex::markChanged() {
    std::lock_guard lock(lock_);
    changed_ = true;
}

void BVCacheIndex::rememberPathLocked(const std::string& key, const json& meta) {
    auto path = meta.find("path");
    if (path == meta.end() || !path->is_string())
        return;
    keysByFoldedPath_[BVCacheFilter::folded(path->get_ref<const std::string&>())].insert(key);
}

void BVCacheIndex::forgetPathLocked(const std::string& key, const json& meta) {
    auto path = meta.find("path");
    if (path == meta.end() || !path->is_string())
        return;
    auto it = keysByFoldedPath_.find(BVCacheFilter::folded(path->get_ref<const std::string&>()));
    if (it == keysByFoldedPath_.end())
        return;
    it->second.erase(key);
    if (it->second.empty())
        keysByFoldedPath_.erase(it);
}

bv::Data BVCacheIndex::archivedData() {
    std::lock_guard lock(lock_);
    for (const auto& key : stale_) {
        Slot& slot = entries_.at(key);
        appendText(slot.encodedKey, key);
        appendValue(slot.encodedMeta, wholeMetaLocked(slot));
        // The names live on in the encoding; the listing need not be held any longer.
        slot.names.reset();
        encodedBytes_ += 2 * slot.encodedKey.size() + slot.encodedMeta.size();
        encodedKeyBytes_ += slot.encodedKey.size();
    }
    stale_.clear();

    std::string head;
    appendHead(head, kMajorMap, 4);
    appendText(head, bv::KeyedArchive::kClassKey);
    appendText(head, "BVCacheIndex");
    appendText(head, "lastUpdateTime");
    appendValue(head, json(lastUpdateTime_));
    appendText(head, "index");
    appendHead(head, kMajorMap, entries_.size());
    std::string metaHead;
    appendText(metaHead, "meta");
    appendHead(metaHead, kMajorMap, entries_.size());

    // Both maps are filled in one walk over the entries: the "index" map from the front,
    // the "meta" map from the offset where it begins.
    size_t total = head.size() + metaHead.size() + encodedBytes_ + encodedKeyBytes_;
    std::vector<uint8_t> out(total);
    std::memcpy(out.data(), head.data(), head.size());
    uint8_t* index = out.data() + head.size();
    uint8_t* meta = index + 2 * encodedKeyBytes_;
    std::memcpy(meta, metaHead.data(), metaHead.size());
    meta += metaHead.size();
    for (const auto& [key, slot] : entries_) {
        const std::string& k = slot.encodedKey;
        index = std::copy(k.begin(), k.end(), index);
        index = std::copy(k.begin(), k.end(), index);
        meta = std::copy(k.begin(), k.end(), meta);
        meta = std::copy(slot.encodedMeta.begin(), slot.encodedMeta.end(), meta);
    }
    return bv::Data(std::move(out));
}

std::unique_ptr<BVCacheIndex> BVCacheIndex::unarchive(const bv::Data& data) {
    auto object = bv::KeyedArchive::decode(data);
    if (!object)
        return nullptr;
    const std::string* cls = bv::KeyedArchive::className(*object);
    if (!cls || *cls != "BVCacheIndex")
        return nullptr;
    auto keys = object->find("index");
    auto metas = object->find("meta");
    if (keys == object->end() || !keys->is_object() || metas == object->end() ||
        !metas->is_object())
        return nullptr;
    auto index = std::make_unique<BVCacheIndex>();
    if (auto last = object->find("lastUpdateTime"); last != object->end() && last->is_number())
        index->lastUpdateTime_ = last->get<double>();
    for (auto& [key, value] : keys->items()) {
        auto meta = metas->find(key);
        index->insertLocked(
            key, (meta != metas->end() && meta->is_object()) ? std::move(*meta) : json::object());
    }
    index->changed_ = false;
    return index;
}
