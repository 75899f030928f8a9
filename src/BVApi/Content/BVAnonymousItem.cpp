#include "BVApi/Content/BVAnonymousItem.h"

#include "BVApi/Content/BVValueConverter.h"

using C = BVItemClass;
using json = nlohmann::json;

const BVItemClass& BVAnonymousItem::itemClass() {
    using T = BVAnonymousItem;
    static const BVItemClass cls({
        .name = "BVAnonymousItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::response>("response")},
        .mapping = std::vector<BVKeyMapping>{},
        .encodeArray = std::nullopt,
        .build = [](const json& dict) -> BVItemRef { return itemWithDict(dict); },
    });
    return cls;
}

std::shared_ptr<BVAnonymousItem> BVAnonymousItem::itemWithDict(const json& dict, bv::Error*) {
    if (!dict.is_object())
        return nullptr;
    auto item = std::make_shared<BVAnonymousItem>();
    item->response = dict;
    return item;
}

std::shared_ptr<BVAnonymousItem> BVAnonymousItem::itemWithDict(const json& dict,
                                                               const ParseBlock& parse,
                                                               bv::Error* error) {
    if (!dict.is_object() || !parse)
        return nullptr;
    auto item = std::make_shared<BVAnonymousItem>();
    for (const auto& [key, value] : dict.items()) {
        bv::Error slot;
        json parsed = parse(key, value, &slot);
        if (slot) {
            bv::setError(error, std::move(slot));
            return nullptr;
        }
        item->response[key] = std::move(parsed);
    }
    return item;
}

const json* BVAnonymousItem::valueForKey(std::string_view key) const {
    auto it = response.find(key);
    return it == response.end() ? nullptr : &*it;
}

const json* BVAnonymousItem::valueForKeyPath(std::string_view keyPath) const {
    return BVValueConverter::valueAtKeyPath(response, keyPath);
}

void BVAnonymousItem::setValueForKey(std::string_view key, json value) {
    if (!response.is_object())
        response = json::object();
    response[std::string(key)] = std::move(value);
}

void BVAnonymousItem::setValueForKeyPath(std::string_view keyPath, json value) {
    json* node = &response;
    while (true) {
        if (!node->is_object())
            *node = json::object();
        size_t dot = keyPath.find('.');
        std::string key(keyPath.substr(0, dot));
        if (dot == std::string_view::npos) {
            (*node)[key] = std::move(value);
            return;
        }
        node = &(*node)[key];
        keyPath.remove_prefix(dot + 1);
    }
}
