#include "BVApi/Content/BVSharingItems.h"

using C = BVItemClass;

const BVItemClass& BVSharingUserItem::itemClass() {
    using T = BVSharingUserItem;
    static const BVItemClass cls({
        .name = "BVSharingUserItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::name>("name"), C::field<&T::mode>("mode")},
        .mapping =
            std::vector<BVKeyMapping>{
                {"identifier", "SharingID"}, {"name", "Name"}, {"mode", "ShareMode"}},
        .encodeArray = std::vector<std::string>{"identifier", "name", "mode"},
    });
    return cls;
}

const BVItemClass& BVSharingUsersItem::itemClass() {
    using T = BVSharingUsersItem;
    static const BVItemClass cls({
        .name = "BVSharingUsersItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::users>("users")},
        .mapping = std::vector<BVKeyMapping>{{"users", "ShareWithUser", BVConverter::Items,
                                              &bvClassOf<BVSharingUserItem>, true}},
        .encodeArray = std::vector<std::string>{"identifier", "users"},
    });
    return cls;
}

std::shared_ptr<BVSharingUserItem> BVSharingUsersItem::itemNamed(std::string_view name) const {
    for (const auto& user : users) {
        if (user->name == name)
            return user;
    }
    return nullptr;
}
