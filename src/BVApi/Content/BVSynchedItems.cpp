#include "BVApi/Content/BVSynchedItems.h"

using C = BVItemClass;

const BVItemClass& BVSynchedItem::itemClass() {
    using T = BVSynchedItem;
    static const BVItemClass cls({
        .name = "BVSynchedItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::dateModified>("dateModified")},
        .mapping = std::vector<BVKeyMapping>{},
        .encodeArray = std::vector<std::string>{"dateModified"},
    });
    return cls;
}

const BVItemClass& BVSharedXAttrs::itemClass() {
    using T = BVSharedXAttrs;
    static const BVItemClass cls({
        .name = "BVSharedXAttrs",
        .superclass = &BVSynchedItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::xattrsByPath>("xattrsByPath")},
        .mapping = std::nullopt,
        .encodeArray = std::vector<std::string>{"dateModified", "identifier", "xattrsByPath"},
    });
    return cls;
}
