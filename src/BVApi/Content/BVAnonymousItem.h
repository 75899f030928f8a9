#pragma once

#include <functional>
#include <string_view>

#include "BVApi/Content/BVContentItem.h"

// A raw answer dictionary with key-value access. Built without a key map.
class BVAnonymousItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    // An item holding a copy of the whole dictionary; nothing when dict is not an object.
    static std::shared_ptr<BVAnonymousItem> itemWithDict(const nlohmann::json& dict,
                                                         bv::Error* error = nullptr);

    // Called per key and value; its answer is stored under the key. Setting the error stops
    // the walk: the error is handed out and no item is answered.
    using ParseBlock = std::function<nlohmann::json(const std::string& key,
                                                    const nlohmann::json& value, bv::Error*)>;
    static std::shared_ptr<BVAnonymousItem> itemWithDict(const nlohmann::json& dict,
                                                         const ParseBlock& parse, bv::Error* error);

    // Reads and writes go to response; a key path is "."-separated. Reads answer nullptr when
    // nothing is there; writing a key path creates the dictionaries on the way.
    const nlohmann::json* valueForKey(std::string_view key) const;
    const nlohmann::json* valueForKeyPath(std::string_view keyPath) const;
    void setValueForKey(std::string_view key, nlohmann::json value);
    void setValueForKeyPath(std::string_view keyPath, nlohmann::json value);

    nlohmann::json response = nlohmann::json::object();
};
