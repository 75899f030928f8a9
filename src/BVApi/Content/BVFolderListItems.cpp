#include "BVApi/Content/BVFolderListItems.h"

#include <algorithm>
#include <chrono>
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
    auto unusable = [](const auto& entry) {
        return !BVItemNames::isUsableName(entry->name) ||
               BVItemNames::isFixedFolderIdentifier(entry->identifier);
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
}  // namespace

// The lower-cased name of every entry mapped to the entry itemNamed answers for it, with the
// shape of the arrays it was built from.
struct BVFolderListItem::NameIndex {
    struct Entry {
        BVItemRef item;
        const std::string* name;  // the entry's own name field, kept alive by item
    };
    std::unordered_map<std::string, Entry> entries;
    const void* foldersData = nullptr;
    size_t foldersSize = 0;
    const void* filesData = nullptr;
    size_t filesSize = 0;

    bool matches(const BVFolderListItem& listing) const {
        return foldersData == listing.folders.data() && foldersSize == listing.folders.size() &&
               filesData == listing.files.data() && filesSize == listing.files.size();
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
    auto index = std::make_shared<NameIndex>();
    index->entries.reserve(folders.size() + files.size());
    // emplace keeps the first entry of a name: folders before files, earlier before later.
    for (const auto& folder : folders)
        index->entries.emplace(BVUnicodeNames::lowercased(folder->name),
                               NameIndex::Entry{folder, &folder->name});
    for (const auto& file : files)
        index->entries.emplace(BVUnicodeNames::lowercased(file->name),
                               NameIndex::Entry{file, &file->name});
    index->foldersData = folders.data();
    index->foldersSize = folders.size();
    index->filesData = files.data();
    index->filesSize = files.size();
    nameIndex_ = index;
    return index;
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
    auto it = index->entries.find(lowered);
    if (it == index->entries.end())
        return nullptr;
    // An entry renamed behind the index's back: answer what a scan answers.
    if (!BVUnicodeNames::lowercasedEquals(*it->second.name, lowered)) {
        invalidateNameIndex();
        return scanForItemNamed(lowered);
    }
    return it->second.item;
}

void BVFolderListItem::insertItem(const BVItemRef& item) {
    invalidateNameIndex();
    if (item && item->isKindOf(BVFileItem::itemClass())) {
        eraseWhere(files, [&](const auto& f) { return f->isEqualTo(*item); });
        files.push_back(std::static_pointer_cast<BVFileItem>(item));
    } else if (item && item->isKindOf(BVFolderItem::itemClass())) {
        eraseWhere(folders, [&](const auto& f) { return f->isEqualTo(*item); });
        folders.push_back(std::static_pointer_cast<BVFolderItem>(item));
    } else {
        throw BVContentItemException(
            "insertItem: only support BVFileItem or BVFolderItem instances.");
    }
}

void BVFolderListItem::removeItem(const BVItemRef& item) {
    invalidateNameIndex();
    if (item && item->isKindOf(BVFileItem::itemClass())) {
        eraseWhere(files, [&](const auto& f) { return f.get() == item.get(); });
    } else if (item && item->isKindOf(BVFolderItem::itemClass())) {
        eraseWhere(folders, [&](const auto& f) { return f.get() == item.get(); });
    } else {
        throw BVContentItemException(
            "removeItem: only support BVFileItem or BVFolderItem instances.");
    }
}

void BVFolderListItem::removeItemNamed(std::string_view name) {
    invalidateNameIndex();
    eraseWhere(files, [&](const auto& f) { return f->name == name; });
    eraseWhere(folders, [&](const auto& f) { return f->name == name; });
}

void BVFolderListItem::removeItemWithIdentifier(std::string_view identifier) {
    invalidateNameIndex();
    eraseWhere(files, [&](const auto& f) { return f->identifier == identifier; });
    eraseWhere(folders, [&](const auto& f) { return f->identifier == identifier; });
}
