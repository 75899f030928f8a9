#include "BVApi/Content/BVFolderListItems.h"

#include <algorithm>
#include <chrono>

#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVValueConverter.h"
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

BVItemRef BVFolderListItem::itemNamed(std::string_view name) const {
    const std::string lowered = BVUnicodeNames::lowercased(name);
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

void BVFolderListItem::insertItem(const BVItemRef& item) {
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
    eraseWhere(files, [&](const auto& f) { return f->name == name; });
    eraseWhere(folders, [&](const auto& f) { return f->name == name; });
}

void BVFolderListItem::removeItemWithIdentifier(std::string_view identifier) {
    eraseWhere(files, [&](const auto& f) { return f->identifier == identifier; });
    eraseWhere(folders, [&](const auto& f) { return f->identifier == identifier; });
}
