#include "BVApi/Content/BVIdentifierItems.h"

#include "platform/Format.h"

using C = BVItemClass;

const BVItemClass& BVFSIdItem::itemClass() {
    using T = BVFSIdItem;
    static const BVItemClass cls({
        .name = "BVFSIdItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::path>("path")},
        .mapping = std::vector<BVKeyMapping>{{"identifier", "FileId"}},
        .encodeArray = std::vector<std::string>{"identifier", "path"},
    });
    return cls;
}

std::string BVFSIdItem::description() const {
    return bv::format("%@ (id=%@, path=%@)", baseDescription(), identifier, path);
}

const BVItemClass& BVFolderFSIdItem::itemClass() {
    static const BVItemClass cls({
        .name = "BVFolderFSIdItem",
        .superclass = &BVFSIdItem::itemClass(),
        .create = &bvCreateItem<BVFolderFSIdItem>,
        .fields = {},
        // Lower-case "d", unlike the "FolderID" of folder entries: the service's own spelling.
        .mapping = std::vector<BVKeyMapping>{{"identifier", "FolderId"}},
        .encodeArray = std::nullopt,
    });
    return cls;
}
