// Fuzz target for the message decoders of both messaging channels: the framed stream of
// the command sockets (split at arbitrary points) with the archived values it carries, and
// the datagrams of the extension ports with their archived arguments. Hostile bytes must
// never crash, hand out a message above the stated limit, or yield a value of another kind.
//
// Input: one byte choosing the channel (even: stream, odd: datagram), then the bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "comms/BVExtensionActions.h"
#include "comms/BVExtensionMessage.h"
#include "comms/CommFrameReader.h"
#include "comms/CommValue.h"

// Last: it defines the macro check().
#include "FuzzCheck.h"

namespace {

void checkValue(const CommValue& value) {
    switch (value.kind) {
        case CommValue::Kind::String:
        case CommValue::Kind::URL:
            check(value.value.is_string());
            break;
        case CommValue::Kind::Number:
            check(value.value.is_number() || value.value.is_boolean());
            break;
        case CommValue::Kind::Array:
            check(value.value.is_array());
            break;
        case CommValue::Kind::Dictionary:
            check(value.value.is_object());
            break;
    }
}

void fuzzStream(const uint8_t* data, size_t size) {
    CommFrameReader reader;
    // The first byte of the rest sets the read size, so messages straddle reads.
    size_t step = size ? (data[0] % 64) + 1 : 1;
    for (size_t offset = 1; offset < size; offset += step) {
        if (!reader.append(data + offset, std::min(step, size - offset)))
            break;
        while (auto message = reader.next()) {
            check(message->size() <= CommFrameReader::kMaxMessage);
            if (auto value = CommValue::unarchive(*message))
                checkValue(*value);
        }
    }
}

void fuzzDatagram(const uint8_t* data, size_t size) {
    auto message = BVExtensionMessage::decode(data, size);
    if (!message)
        return;
    check(!message->blocks.empty());
    check(BVExtensionMessage::isValidPortName(message->senderPort));
    // Every argument is tried as every kind, as a receiver would for any action.
    for (size_t i = 1; i < message->blocks.size(); ++i) {
        using BVExtensionActions::ArgKind;
        for (auto kind : {ArgKind::String, ArgKind::StringArray, ArgKind::UserInfo}) {
            auto value = BVExtensionActions::unarchive(kind, message->blocks[i]);
            if (!value)
                continue;
            check(value->index() == static_cast<size_t>(kind));
            if (kind == ArgKind::UserInfo)
                check(std::get<2>(*value) != nullptr);
        }
    }
    // What decodes encodes back to the same message.
    auto again = BVExtensionMessage::decode(message->encoded().bytes(), message->encoded().size());
    check(again && again->blocks == message->blocks && again->senderPort == message->senderPort);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    if (data[0] % 2 == 0)
        fuzzStream(data + 1, size - 1);
    else
        fuzzDatagram(data + 1, size - 1);
    return 0;
}
