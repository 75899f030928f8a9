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

namespace {

// The end of the JSON string that starts at text[at] (a quote): the index after its closing
// quote, or npos when it does not close.
size_t stringEnd(std::string_view text, size_t at) {
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return std::string_view::npos;
}

size_t skipSpace(std::string_view text, size_t at) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    return at;
}

// The end of a bare value (number, literal) starting at at.
size_t bareEnd(std::string_view text, size_t at) {
    while (at < text.size() && text[at] != ',' && text[at] != '}' && text[at] != ']' &&
           !std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    return at;
}

// The end of the object or list that opens at text[at], or the end of the text when it does
// not close.
size_t nestedEnd(std::string_view text, size_t at) {
    size_t depth = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"') {
            at = stringEnd(text, at);
            if (at == std::string_view::npos)
                return text.size();
            continue;
        }
        if (c == '{' || c == '[')
            ++depth;
        else if ((c == '}' || c == ']') && --depth == 0)
            return at + 1;
        ++at;
    }
    return text.size();
}

}  // namespace

std::string BVLogMask::maskedText(std::string_view text, size_t limit) {
    std::string out;
    size_t at = 0;
    while (at < text.size() && out.size() <= limit) {
        if (text[at] != '"') {
            out += text[at++];
            continue;
        }
        const size_t keyEnd = stringEnd(text, at);
        if (keyEnd == std::string_view::npos) {
            // An unclosed text may still hold a secret: nothing of it is kept.
            out += "\"...";
            break;
        }
        std::string_view key = text.substr(at + 1, keyEnd - at - 2);
        out.append(text.substr(at, keyEnd - at));
        at = keyEnd;
        size_t valueAt = skipSpace(text, at);
        if (valueAt >= text.size() || text[valueAt] != ':')
            continue;
        valueAt = skipSpace(text, valueAt + 1);
        if (valueAt >= text.size())
            break;
        out.append(text.substr(at, valueAt - at));
        at = valueAt;
        const char first = text[valueAt];
        if (first == '{' || first == '[') {
            // Scanned on, so the keys inside are masked in turn; a secret key hides it whole.
            if (markerFor(key, nlohmann::json::object())) {
                out += "\"" + std::string(kHiddenMarker) + "\"";
                at = nestedEnd(text, valueAt);
            }
            continue;
        }
        const bool quoted = first == '"';
        size_t valueEnd = quoted ? stringEnd(text, valueAt) : bareEnd(text, valueAt);
        if (valueEnd == std::string_view::npos)
            valueEnd = text.size();
        // A string stands for any text value; flags and null keep their own meaning.
        std::string_view value = text.substr(valueAt, valueEnd - valueAt);
        nlohmann::json probe = quoted                                ? nlohmann::json("text")
                               : value == "true" || value == "false" ? nlohmann::json(true)
                               : value == "null"                     ? nlohmann::json(nullptr)
                                                                     : nlohmann::json(0);
        if (auto marker = markerFor(key, probe))
            out += "\"" + *marker + "\"";
        else
            out.append(value);
        at = valueEnd;
    }
    if (out.size() > limit) {
        out.resize(limit);
        out += "...";
    }
    return out;
}
