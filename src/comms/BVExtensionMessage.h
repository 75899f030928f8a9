#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"

// One extension message: block 0 the action name in UTF-8, then one keyed archive per
// argument, and the name of the sender's port so the receiver can answer. On the wire
// (one datagram) it is the CBOR array [sender port name, [block, ...]] with the blocks as
// byte strings.
struct BVExtensionMessage {
    std::string senderPort;
    std::vector<bv::Data> blocks;

    std::string actionName() const;

    bv::Data encoded() const;
    // Nothing for damaged bytes, a wrong shape, no block 0 or a sender name that is not a
    // valid port name. Never throws.
    static std::optional<BVExtensionMessage> decode(const uint8_t* bytes, size_t length);

    // Port names are plain names: no "/", no NUL, not "." or "..", at most 80 bytes.
    static bool isValidPortName(const std::string& name);
};
