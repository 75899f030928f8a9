#include "comms/CommValue.h"

#include "platform/KeyedArchive.h"

namespace {

struct KindName {
    CommValue::Kind kind;
    const char* className;
    const char* field;
};

constexpr KindName kKinds[] = {
    {CommValue::Kind::String, "NSString", "NS.string"},
    {CommValue::Kind::Number, "NSNumber", "NS.number"},
    {CommValue::Kind::URL, "NSURL", "NS.relative"},
    {CommValue::Kind::Array, "NSArray", "NS.objects"},
    {CommValue::Kind::Dictionary, "NSDictionary", "NS.dict"},
};

bool fieldFits(CommValue::Kind kind, const nlohmann::json& v) {
    switch (kind) {
        case CommValue::Kind::String:
        case CommValue::Kind::URL:
            return v.is_string();
        case CommValue::Kind::Number:
            return v.is_number() || v.is_boolean();
        case CommValue::Kind::Array:
            return v.is_array();
        case CommValue::Kind::Dictionary:
            return v.is_object();
    }
    return false;
}

}  // namespace

CommValue CommValue::array(nlohmann::json items) {
    return {Kind::Array, items.is_array() ? std::move(items) : nlohmann::json::array()};
}

CommValue CommValue::dictionary(nlohmann::json object) {
    return {Kind::Dictionary, object.is_object() ? std::move(object) : nlohmann::json::object()};
}

bv::Data CommValue::archived() const {
    for (const auto& k : kKinds) {
        if (k.kind == kind) {
            auto object = bv::KeyedArchive::makeObject(k.className);
            object[k.field] = value;
            return bv::KeyedArchive::encode(object);
        }
    }
    return {};
}

std::optional<CommValue> CommValue::fromArchiveObject(const nlohmann::json& object) {
    const std::string* name = bv::KeyedArchive::className(object);
    if (!name)
        return std::nullopt;
    for (const auto& k : kKinds) {
        if (*name != k.className)
            continue;
        auto field = object.find(k.field);
        if (field == object.end() || !fieldFits(k.kind, *field))
            return std::nullopt;
        return CommValue{k.kind, *field};
    }
    return std::nullopt;
}

std::optional<CommValue> CommValue::unarchive(const bv::Data& bytes) {
    auto object = bv::KeyedArchive::decode(bytes);
    if (!object)
        return std::nullopt;
    return fromArchiveObject(*object);
}
