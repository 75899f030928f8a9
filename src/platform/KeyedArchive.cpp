#include "platform/KeyedArchive.h"

#include <string_view>

#include "platform/BoundedJson.h"

namespace bv {

using json = nlohmann::json;

json KeyedArchive::makeObject(const std::string& className) {
    json object = json::object();
    object[kClassKey] = className;
    return object;
}

const std::string* KeyedArchive::className(const json& value) {
    if (!value.is_object())
        return nullptr;
    auto it = value.find(kClassKey);
    if (it == value.end() || !it->is_string())
        return nullptr;
    return it->get_ptr<const std::string*>();
}

Data KeyedArchive::encode(const json& object) {
    if (BoundedJson::isDeeperThan(object, kMaxDepth))
        return Data();
    return Data(json::to_cbor(object));
}

std::optional<json> KeyedArchive::decodeValue(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length == 0)
        return std::nullopt;
    return BoundedJson::parse(std::string_view(reinterpret_cast<const char*>(bytes), length),
                              BoundedJson::Format::Cbor, kMaxDepth);
}

std::optional<json> KeyedArchive::decode(const Data& bytes) {
    auto value = decodeValue(bytes.bytes(), bytes.length());
    if (!value || className(*value) == nullptr)
        return std::nullopt;
    return value;
}

json KeyedArchive::bytesValue(const Data& data) {
    return json::binary(data.vector());
}

std::optional<Data> KeyedArchive::dataFrom(const json& value) {
    if (!value.is_binary())
        return std::nullopt;
    const auto& bin = value.get_binary();
    return Data(std::vector<uint8_t>(bin.begin(), bin.end()));
}

}  // namespace bv
