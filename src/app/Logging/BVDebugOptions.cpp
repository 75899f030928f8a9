#include "app/Logging/BVDebugOptions.h"

#include "platform/Preferences.h"

bool BVDebugOptions::checkDebugParam(const std::string& name) {
    const auto keys = bv::Preferences::standard().objectForKey("DBGKeys");
    if (!keys.is_object())
        return false;
    if (keys.contains("ALL"))
        return true;
    auto it = keys.find(name);
    return it != keys.end() && it->is_boolean() && it->get<bool>();
}
