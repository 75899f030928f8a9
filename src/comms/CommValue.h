#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Data.h"

// One value carried by the command sockets and the extension messages: a string, a number,
// a URL, an array or a dictionary, each archived as a keyed archive of its own class.
struct CommValue {
    enum class Kind { String, Number, URL, Array, Dictionary };

    Kind kind = Kind::String;
    // The text for String and URL, the number, the array or the object for the others.
    nlohmann::json value;

    static CommValue string(std::string text) { return {Kind::String, std::move(text)}; }
    static CommValue number(double n) { return {Kind::Number, n}; }
    static CommValue url(std::string text) { return {Kind::URL, std::move(text)}; }
    static CommValue array(nlohmann::json items);
    static CommValue dictionary(nlohmann::json object);

    bv::Data archived() const;
    // The value held in an archive; nothing for damaged bytes, another class or a field of
    // the wrong type. Never throws.
    static std::optional<CommValue> unarchive(const bv::Data& bytes);
    static std::optional<CommValue> fromArchiveObject(const nlohmann::json& object);
};
