#include "comms/BVExtensionMessage.h"

#include <nlohmann/json.hpp>

#include "platform/KeyedArchive.h"

std::string BVExtensionMessage::actionName() const {
    return blocks.empty() ? std::string() : blocks.front().toString();
}

bool BVExtensionMessage::isValidPortName(const std::string& name) {
    return !name.empty() && name.size() <= 80 && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bv::Data BVExtensionMessage::encoded() const {
    auto list = nlohmann::json::array();
    for (const auto& block : blocks)
        list.push_back(bv::KeyedArchive::bytesValue(block));
    return bv::KeyedArchive::encode(nlohmann::json::array({senderPort, std::move(list)}));
}

std::optional<BVExtensionMessage> BVExtensionMessage::decode(const uint8_t* bytes, size_t length) {
    auto value = bv::KeyedArchive::decodeValue(bytes, length);
    if (!value || !value->is_array() || value->size() != 2 || !(*value)[0].is_string() ||
        !(*value)[1].is_array() || (*value)[1].empty())
        return std::nullopt;
    BVExtensionMessage message;
    message.senderPort = (*value)[0].get<std::string>();
    if (!isValidPortName(message.senderPort))
        return std::nullopt;
    for (const auto& block : (*value)[1]) {
        auto data = bv::KeyedArchive::dataFrom(block);
        if (!data)
            return std::nullopt;
        message.blocks.push_back(std::move(*data));
    }
    return message;
}
