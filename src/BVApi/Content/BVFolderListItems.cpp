#include "BVApi/Content/BVFolderListItems.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_map>

#include "BVApi/Content/BVItemNames.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVValueConverter.h"
#include "app/Logging/BVLogging.h"
#include "platform/Format.h"

using C = BVItemClass;
using json = nlohmann::json;

namespace {

BVKeyMapping responseTypeKey() {
    return {"responseType", "ResponseType"};
}
BVKeyMapping updateTimeKey() {
    return {"updateTime", "DirUpdateTime", BVConverter::Integer};
}
BVKeyMapping foldersKey() {
    return {"folders", "Folders", BVConverter::Items, &bvClassOf<BVFolderItem>, false};
}
BVKeyMapping filesKey() {
    return {"files", "Files", BVConverter::Items, &bvClassOf<BVFileItem>, false};
}

double secondsSince1970Now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Each user who shares with the account becomes a folder named after the user, identified by
// the sharing identifier. Entries without either are left out: a nameless folder could not
// be shown or found.
BVValue sharingUsersAsFolders(const json* raw) {
    BVItemArray folders;
    if (!raw || !raw->is_array())
        return BVValue(std::move(folders));
    const double now = secondsSince1970Now();
    for (const auto& entry : *raw) {
        if (!entry.is_object())
            continue;
        auto name = BVValueConverter::text(BVValueConverter::valueAtKeyPath(entry, "Name"));
        auto id = BVValueConverter::text(BVValueConverter::valueAtKeyPath(entry, "SharingID"));
        if (!name || !id)
            continue;
        auto folder = std::make_shared<BVFolderItem>();
        folder->name = std::move(*name);
        folder->identifier = std::move(*id);
        folder->dateCreated = now;
        folder->dateModified = now;
        folders.push_back(std::move(folder));
    }
    return BVValue(std::move(folders));
}

template <class Vec, class Pred>
void eraseWhere(Vec& v, Pred pred) {
    v.erase(std::remove_if(v.begin(), v.end(), pred), v.end());
}

// How many files and folders the answer held, built or not.
size_t entriesSent(const BVItemClass& cls, const json& dict) {
    size_t sent = 0;
    for (const auto& m : cls.mappingDict()) {
        if (m.field != "files" && m.field != "folders")
            continue;
        const json* raw = BVValueConverter::valueAtKeyPath(dict, m.keyPath);
        if (raw && raw->is_array())
            sent += raw->size();
    }
    return sent;
}

// An entry that the volume could not show as one component of a path, or that would stand
// for the root, the trash or the shared folders below another folder (and so answer their
// listings), leaves the listing; one record per listing tells how many left, counting those
// that could not be built at all (a missing key, a negative size).
void leaveOutUnusableEntries(BVContentItem& item, const json& dict) {
    auto& listing = static_cast<BVFolderListItem&>(item);
    auto unusable = [&](const auto& entry) {
        const bool left = !BVItemNames::isUsableName(entry->name) ||
                          BVItemNames::isFixedFolderIdentifier(entry->identifier);
        if (left)
            listing.leftOutNames.push_back(entry->name);
        return left;
    };
    eraseWhere(listing.files, unusable);
    eraseWhere(listing.folders, unusable);
    // A list that is not one reads as empty; the record says the service sent nonsense.
    for (const char* key : {"Files", "Folders"}) {
        if (dict.is_object() && dict.contains(key) && !dict[key].is_array())
            BVLog("Left out the %@ of a listing: not a list but %@", key, dict[key].type_name());
    }
    const size_t sent = entriesSent(listing.cls(), dict);
    const size_t kept = listing.files.size() + listing.folders.size();
    if (sent > kept) {
        listing.leftOutEntries = sent - kept;
        BVLog(
            "Left out %lu of %lu entries of a listing: unusable names or identifiers, or "
            "unusable values",
            sent - kept, sent);
    }
}

}  // namespace

const BVItemClass& BVFolderListItem::itemClass() {
    using T = BVFolderListItem;
    static const BVItemClass cls({
        .name = "BVFolderListItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::updateTime>("updateTime"), C::field<&T::name>("name"),
                   C::field<&T::path>("path"), C::field<&T::parentFolderId>("parentFolderId"),
                   C::field<&T::directFolderLink>("directFolderLink"),
                   C::field<&T::responseType>("responseType"), C::field<&T::files>("files"),
                   C::field<&T::folders>("folders"), C::field<&T::encrypted>("encrypted")},
        .mapping = std::vector<BVKeyMapping>{updateTimeKey(),
                                             {"name", "Name"},
                                             {"parentFolderId", "ParentFolderID"},
                                             responseTypeKey(),
                                             foldersKey(),
                                             filesKey()},
        .encodeArray = std::vector<std::string>{"identifier", "updateTime", "name", "path",
                                                "parentFolderId", "directFolderLink",
                                                "responseType", "files", "folders", "encrypted"},
        .finish = &leaveOutUnusableEntries,
    });
    return cls;
}

const BVItemClass& BVSharedFolderListItem::itemClass() {
    static const BVItemClass cls({
        .name = "BVSharedFolderListItem",
        .superclass = &BVFolderListItem::itemClass(),
        .create = &bvCreateItem<BVSharedFolderListItem>,
        .fields = {},
        .mapping = std::vector<BVKeyMapping>{responseTypeKey(),
                                             updateTimeKey(),
                                             {"folders", "SharedFolders", BVConverter::Items,
                                              &bvClassOf<BVSharedFolderItem>, true}},
        .encodeArray = std::nullopt,
    });
    return cls;
}

const BVItemClass& BVTrashFolderListItem::itemClass() {
    static const BVItemClass cls({
        .name = "BVTrashFolderListItem",
        .superclass = &BVFolderListItem::itemClass(),
        .create = &bvCreateItem<BVTrashFolderListItem>,
        .fields = {},
        .mapping =
            std::vector<BVKeyMapping>{responseTypeKey(), updateTimeKey(), foldersKey(), filesKey()},
        .encodeArray = std::nullopt,
    });
    return cls;
}

const BVItemClass& BVSharedUsersFolderListItem::itemClass() {
    static const BVItemClass cls({
        .name = "BVSharedUsersFolderListItem",
        .superclass = &BVFolderListItem::itemClass(),
        .create = &bvCreateItem<BVSharedUsersFolderListItem>,
        .fields = {},
        .mapping = std::vector<BVKeyMapping>{responseTypeKey(),
                                             updateTimeKey(),
                                             {.field = "folders",
                                              .keyPath = "SharedUsers",
                                              .converter = BVConverter::Custom,
                                              .custom = &sharingUsersAsFolders}},
        .encodeArray = std::nullopt,
    });
    return cls;
}

const BVItemClass& BVStubFolderListItem::itemClass() {
    static const BVItemClass cls({
        .name = "BVStubFolderListItem",
        .superclass = &BVFolderListItem::itemClass(),
        .create = &bvCreateItem<BVStubFolderListItem>,
        .fields = {},
        .mapping = std::nullopt,
        .encodeArray = std::nullopt,
    });
    return cls;
}

std::string BVFolderListItem::description() const {
    return bv::format("%@ (name=%@, time=%@, count=%lu,%lu)", baseDescription(), name, updateTime,
                      folders.size(), files.size());
}

BVItemArray BVFolderListItem::combinedItems() const {
    BVItemArray items;
    items.reserve(folders.size() + files.size());
    items.insert(items.end(), folders.begin(), folders.end());
    items.insert(items.end(), files.begin(), files.end());
    return items;
}

std::vector<std::string> BVFolderListItem::itemNames() const {
    std::vector<std::string> names;
    names.reserve(folders.size() + files.size());
    for (const auto& folder : folders)
        names.push_back(folder->name);
    for (const auto& file : files)
        names.push_back(file->name);
    return names;
}

namespace {
// Below this many entries a scan is cheaper than building the index.
constexpr size_t kNameIndexThreshold = 32;

// How many changed names an index carries beside the map it was built as before it is
// built again: copying the changes with each copy of the listing and building anew both
// cost time, and this keeps their sum in proportion to the square root of the size.
size_t changedNamesLimit(size_t entries) {
    return std::max<size_t>(32, static_cast<size_t>(std::sqrt(static_cast<double>(entries))));
}
}  // namespace

// The lower-cased name of every entry mapped to the entry itemNamed answers for it, with the
// shape of the arrays it was built from. A listing changes by copy (the cached one is read by
// other threads), so the map as built is shared between a listing and its copies, and each
// copy carries only the names changed since.
struct BVFolderListItem::NameIndex {
    struct Entry {
        BVItemRef item;                     // nullptr when no entry has the name (any more)
        const std::string* name = nullptr;  // the entry's own name field, kept alive by item
        uint32_t count = 0;                 // entries whose lower-cased name is the key
        bool unknown = false;               // which of several entries answers needs a scan

        static Entry needsScan() {
            Entry entry;
            entry.unknown = true;
            return entry;
        }
    };
    using Map = std::unordered_map<std::string, Entry>;
    std::shared_ptr<const Map> built;
    Map changed;
    const void* foldersData = nullptr;
    size_t foldersSize = 0;
    const void* filesData = nullptr;
    size_t filesSize = 0;

    bool matches(const BVFolderListItem& listing) const {
        return foldersData == listing.folders.data() && foldersSize == listing.folders.size() &&
               filesData == listing.files.data() && filesSize == listing.files.size();
    }
    void recordShape(const BVFolderListItem& listing) {
        foldersData = listing.folders.data();
        foldersSize = listing.folders.size();
        filesData = listing.files.data();
        filesSize = listing.files.size();
    }
    const Entry* find(const std::string& lowered) const {
        if (auto it = changed.find(lowered); it != changed.end())
            return &it->second;
        auto it = built->find(lowered);
        return it == built->end() ? nullptr : &it->second;
    }
    Entry current(const std::string& lowered) const {
        const Entry* entry = find(lowered);
        return entry ? *entry : Entry{};
    }
    // Some entries of the name were removed, the answer among them when answerRemoved.
    void removed(const std::string& lowered, const Entry& before, uint32_t gone,
                 bool answerRemoved) {
        if (gone == 0 || before.unknown)
            return;
        Entry after = before;
        after.count = before.count > gone ? before.count - gone : 0;
        if (after.count == 0)
            after = Entry{};
        else if (answerRemoved)
            after = Entry::needsScan();
        changed[lowered] = after;
    }
};

void BVFolderListItem::invalidateNameIndex() const {
    std::lock_guard lock(nameIndexLock_);
    nameIndex_.reset();
}

std::shared_ptr<const BVFolderListItem::NameIndex> BVFolderListItem::nameIndex() const {
    std::lock_guard lock(nameIndexLock_);
    if (nameIndex_ && nameIndex_->matches(*this))
        return nameIndex_;
    auto map = std::make_shared<NameIndex::Map>();
    map->reserve(folders.size() + files.size());
    // The first entry of a name answers: folders before files, earlier before later.
    auto add = [&](const BVItemRef& item, const std::string& name) {
        auto [it, fresh] = map->try_emplace(BVUnicodeNames::lowercased(name),
                                            NameIndex::Entry{item, &name, 1, false});
        if (!fresh)
            ++it->second.count;
    };
    for (const auto& folder : folders)
        add(folder, folder->name);
    for (const auto& file : files)
        add(file, file->name);
    auto index = std::make_shared<NameIndex>();
    index->built = std::move(map);
    index->recordShape(*this);
    nameIndex_ = index;
    return index;
}

BVFolderListItem::NameIndex* BVFolderListItem::editableNameIndexLocked() {
    if (!nameIndex_ || !nameIndex_->matches(*this)) {
        nameIndex_.reset();
        return nullptr;
    }
    // A reader holding the index reads it without the lock: it must not change under it.
    if (nameIndex_.use_count() > 1)
        nameIndex_ = std::make_shared<NameIndex>(*nameIndex_);
    return nameIndex_.get();
}

void BVFolderListItem::keepNameIndexLocked(NameIndex* index) {
    if (!index)
        return;
    if (index->changed.size() > changedNamesLimit(folders.size() + files.size()))
        nameIndex_.reset();
    else
        index->recordShape(*this);
}

void BVFolderListItem::adoptNameIndexOf(const BVFolderListItem& original) {
    if (&original == this)
        return;
    std::shared_ptr<NameIndex> copy;
    {
        std::lock_guard theirs(original.nameIndexLock_);
        if (!original.nameIndex_ || !original.nameIndex_->matches(original))
            return;
        if (files != original.files || folders != original.folders)
            return;
        copy = std::make_shared<NameIndex>(*original.nameIndex_);
    }
    copy->recordShape(*this);
    std::lock_guard mine(nameIndexLock_);
    nameIndex_ = std::move(copy);
}

BVItemRef BVFolderListItem::scanForItemNamed(std::string_view lowered) const {
    for (const auto& folder : folders) {
        if (BVUnicodeNames::lowercasedEquals(folder->name, lowered))
            return folder;
    }
    for (const auto& file : files) {
        if (BVUnicodeNames::lowercasedEquals(file->name, lowered))
            return file;
    }
    return nullptr;
}

BVItemRef BVFolderListItem::itemNamed(std::string_view name) const {
    const std::string lowered = BVUnicodeNames::lowercased(name);
    if (folders.size() + files.size() < kNameIndexThreshold)
        return scanForItemNamed(lowered);
    auto index = nameIndex();
    const NameIndex::Entry* entry = index->find(lowered);
    if (entry && entry->unknown)
        return scanForItemNamed(lowered);
    if (!entry || !entry->item)
        return nullptr;
    // An entry renamed behind the index's back: answer what a scan answers.
    if (!BVUnicodeNames::lowercasedEquals(*entry->name, lowered)) {
        invalidateNameIndex();
        return scanForItemNamed(lowered);
    }
    return entry->item;
}

void BVFolderListItem::insertItem(const BVItemRef& item) {
    const bool isFile = item && item->isKindOf(BVFileItem::itemClass());
    if (!isFile && !(item && item->isKindOf(BVFolderItem::itemClass())))
        throw BVContentItemException(
            "insertItem: only support BVFileItem or BVFolderItem instances.");
    std::lock_guard lock(nameIndexLock_);
    NameIndex* index = editableNameIndexLocked();
    const std::string& name = isFile ? static_cast<const BVFileItem&>(*item).name
                                     : static_cast<const BVFolderItem&>(*item).name;
    std::string lowered;
    NameIndex::Entry before;
    if (index) {
        lowered = BVUnicodeNames::lowercased(name);
        before = index->current(lowered);
    }
    // Equal entries share the exact name, so none exists where the index knows no entry of
    // the lower-cased one.
    const bool mayHoldEqual = !index || before.unknown || before.count > 0;
    size_t gone = 0;
    if (isFile) {
        if (mayHoldEqual) {
            const size_t had = files.size();
            eraseWhere(files, [&](const auto& f) { return f->isEqualTo(*item); });
            gone = had - files.size();
        }
        files.push_back(std::static_pointer_cast<BVFileItem>(item));
    } else {
        if (mayHoldEqual) {
            const size_t had = folders.size();
            eraseWhere(folders, [&](const auto& f) { return f->isEqualTo(*item); });
            gone = had - folders.size();
        }
        folders.push_back(std::static_pointer_cast<BVFolderItem>(item));
    }
    if (!index)
        return;
    NameIndex::Entry after = before;
    const bool answerIsFile = before.item && before.item->isKindOf(BVFileItem::itemClass());
    const bool answerRemoved = before.item && answerIsFile == isFile && *before.name == name;
    if (before.unknown) {
        // Stays for a scan to answer.
    } else if (before.count == 0 || (answerRemoved && before.count == gone)) {
        after = NameIndex::Entry{item, &name, 1, false};
    } else if (answerRemoved) {
        after = NameIndex::Entry::needsScan();
    } else {
        after.count = static_cast<uint32_t>(before.count - gone + 1);
        // A folder answers before every file.
        if (!isFile && answerIsFile) {
            after.item = item;
            after.name = &name;
        }
    }
    index->changed[lowered] = after;
    keepNameIndexLocked(index);
}

void BVFolderListItem::removeItem(const BVItemRef& item) {
    const bool isFile = item && item->isKindOf(BVFileItem::itemClass());
    if (!isFile && !(item && item->isKindOf(BVFolderItem::itemClass())))
        throw BVContentItemException(
            "removeItem: only support BVFileItem or BVFolderItem instances.");
    std::lock_guard lock(nameIndexLock_);
    NameIndex* index = editableNameIndexLocked();
    size_t gone;
    if (isFile) {
        const size_t had = files.size();
        eraseWhere(files, [&](const auto& f) { return f.get() == item.get(); });
        gone = had - files.size();
    } else {
        const size_t had = folders.size();
        eraseWhere(folders, [&](const auto& f) { return f.get() == item.get(); });
        gone = had - folders.size();
    }
    if (!index)
        return;
    const std::string& name = isFile ? static_cast<const BVFileItem&>(*item).name
                                     : static_cast<const BVFolderItem&>(*item).name;
    const std::string lowered = BVUnicodeNames::lowercased(name);
    const NameIndex::Entry before = index->current(lowered);
    index->removed(lowered, before, static_cast<uint32_t>(gone), before.item == item);
    keepNameIndexLocked(index);
}

void BVFolderListItem::removeItemNamed(std::string_view name) {
    std::lock_guard lock(nameIndexLock_);
    NameIndex* index = editableNameIndexLocked();
    std::string lowered;
    NameIndex::Entry before;
    if (index) {
        lowered = BVUnicodeNames::lowercased(name);
        before = index->current(lowered);
        // No entry has the lower-cased name, so none has the exact one.
        if (!before.unknown && before.count == 0)
            return;
    }
    const size_t had = files.size() + folders.size();
    eraseWhere(files, [&](const auto& f) { return f->name == name; });
    eraseWhere(folders, [&](const auto& f) { return f->name == name; });
    if (!index)
        return;
    const size_t gone = had - files.size() - folders.size();
    index->removed(lowered, before, static_cast<uint32_t>(gone),
                   before.item && *before.name == name);
    keepNameIndexLocked(index);
}

void BVFolderListItem::removeItemWithIdentifier(std::string_view identifier) {
    invalidateNameIndex();
    eraseWhere(files, [&](const auto& f) { return f->identifier == identifier; });
    eraseWhere(folders, [&](const auto& f) { return f->identifier == identifier; });
}

void BVFolderListItem::replaceItem(const BVItemRef& old, const BVItemRef& replacement) {
    const auto& fileClass = BVFileItem::itemClass();
    const auto& folderClass = BVFolderItem::itemClass();
    const bool isFile =
        old && replacement && old->isKindOf(fileClass) && replacement->isKindOf(fileClass);
    const bool isFolder =
        old && replacement && old->isKindOf(folderClass) && replacement->isKindOf(folderClass);
    if (!isFile && !isFolder)
        throw BVContentItemException(
            "replaceItem: only replaces a BVFileItem or a BVFolderItem by one of its kind.");
    std::lock_guard lock(nameIndexLock_);
    NameIndex* index = editableNameIndexLocked();
    bool replaced = false;
    if (isFile) {
        for (auto& file : files) {
            if (file.get() == old.get()) {
                file = std::static_pointer_cast<BVFileItem>(replacement);
                replaced = true;
            }
        }
    } else {
        for (auto& folder : folders) {
            if (folder.get() == old.get()) {
                folder = std::static_pointer_cast<BVFolderItem>(replacement);
                replaced = true;
            }
        }
    }
    if (!index || !replaced)
        return;
    const std::string& oldName = isFile ? static_cast<const BVFileItem&>(*old).name
                                        : static_cast<const BVFolderItem&>(*old).name;
    const std::string& newName = isFile ? static_cast<const BVFileItem&>(*replacement).name
                                        : static_cast<const BVFolderItem&>(*replacement).name;
    if (oldName != newName) {
        nameIndex_.reset();
        return;
    }
    const std::string lowered = BVUnicodeNames::lowercased(newName);
    NameIndex::Entry entry = index->current(lowered);
    if (!entry.unknown && entry.item == old) {
        entry.item = replacement;
        entry.name = &newName;
        index->changed[lowered] = entry;
    }
    keepNameIndexLocked(index);
}
