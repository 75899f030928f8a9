#include "BVApi/Networking/BVLogMask.h"

#include <cctype>

namespace {

std::string lowered(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

bool isLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// "session" as a word of key: at its start, after a non-letter or capitalised.
bool namesSession(std::string_view key, const std::string& lower) {
    constexpr std::string_view kWord = "session";
    for (size_t at = lower.find(kWord); at != std::string::npos; at = lower.find(kWord, at + 1)) {
        if (at == 0 || !isLetter(key[at - 1]) || key[at] == 'S')
            return true;
    }
    return false;
}

bool isSecureFolderSecret(std::string_view key) {
    return key == "hash" || key == "data" || key == "Data";
}

}  // namespace

std::optional<std::string> BVLogMask::markerFor(std::string_view key, const nlohmann::json& value) {
    std::string lower = lowered(key);
    if (lower.find("passw") != std::string::npos)
        return kPasswordMarker;
    if (lower.find("token") != std::string::npos || isSecureFolderSecret(key))
        return kHiddenMarker;
    if (namesSession(key, lower) && !value.is_boolean() && !value.is_null())
        return kHiddenMarker;
    return std::nullopt;
}

nlohmann::json BVLogMask::masked(const nlohmann::json& value) {
    if (value.is_array()) {
        nlohmann::json copy = nlohmann::json::array();
        for (const auto& element : value)
            copy.push_back(masked(element));
        return copy;
    }
    if (!value.is_object())
        return value;
    nlohmann::json copy = nlohmann::json::object();
    for (const auto& [key, element] : value.items()) {
        if (auto marker = markerFor(key, element))
            copy[key] = *marker;
        else
            copy[key] = masked(element);
    }
    return copy;
}
