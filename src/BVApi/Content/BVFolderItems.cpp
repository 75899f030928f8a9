#include "BVApi/Content/BVFolderItems.h"

#include "platform/Format.h"

using C = BVItemClass;

namespace {

std::vector<BVKeyMapping> folderKeys() {
    return {{"identifier", "FolderID"},
            {"name", "Name", BVConverter::Name},
            {"encrypted", "Encrypted", BVConverter::IntFlag},
            {"dateCreated", "DateCreated", BVConverter::Date},
            {"dateModified", "DateModified", BVConverter::Date}};
}

std::vector<std::string> folderArchive(std::vector<std::string> more = {}) {
    std::vector<std::string> names{"identifier", "name", "dateCreated", "dateModified",
                                   "encrypted"};
    names.insert(names.end(), more.begin(), more.end());
    return names;
}

std::vector<BVKeyMapping> folderKeysWith(std::vector<BVKeyMapping> more) {
    auto keys = folderKeys();
    keys.insert(keys.end(), more.begin(), more.end());
    return keys;
}

}  // namespace

const BVItemClass& BVFolderItem::itemClass() {
    using T = BVFolderItem;
    static const BVItemClass cls({
        .name = "BVFolderItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::name>("name"), C::field<&T::encrypted>("encrypted"),
                   C::field<&T::dateCreated>("dateCreated"),
                   C::field<&T::dateModified>("dateModified")},
        .mapping = folderKeys(),
        .encodeArray = folderArchive(),
    });
    return cls;
}

std::string BVFolderItem::description() const {
    return bv::format("%@ (name=%@, encrypted=%@, id=%@)", baseDescription(), name, encrypted,
                      identifier);
}

const BVItemClass& BVSharedFolderItem::itemClass() {
    using T = BVSharedFolderItem;
    static const BVItemClass cls({
        .name = "BVSharedFolderItem",
        .superclass = &BVFolderItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::shareMode>("shareMode")},
        .mapping = folderKeysWith({{"shareMode", "ShareMode"}}),
        .encodeArray = folderArchive({"shareMode"}),
    });
    return cls;
}

const BVItemClass& BVFolderInfoItem::itemClass() {
    using T = BVFolderInfoItem;
    static const BVItemClass cls({
        .name = "BVFolderInfoItem",
        .superclass = &BVFolderItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::path>("path"), C::field<&T::link>("link"),
                   C::field<&T::folderDescription>("folderDescription"),
                   C::field<&T::access>("access")},
        .mapping = folderKeysWith(
            {{"link", "Link"}, {"folderDescription", "Description"}, {"access", "Access"}}),
        .encodeArray = folderArchive({"path", "link", "folderDescription", "access"}),
    });
    return cls;
}
