#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

// The one rule for what of a request or an answer may reach the log. A value is replaced by
// a marker when its key names a secret:
// - a password: any key containing "passw", in any case ("passwd", "verify_passwd",
//   "newPassword") -> "user_password";
// - a token: any key containing "token", in any case -> "hidden";
// - a session identifier: a key with the word "session" starting at a word boundary (the
//   key's start, after a non-letter, or an upper-case "S": "session_id", "SessionID",
//   "userSessionId") -> "hidden", unless the value is a flag or null, which says whether
//   there is a session but never which one. Inside a word ("possession") it is no session;
//   an object or list under such a key is hidden whole, as it may hold the id under a
//   plain key;
// - the secure-folder verifier ("hash", "data", "Data"): its hash opens the folder at the
//   service, its data allows guessing the password offline -> "hidden".
class BVLogMask {
  public:
    static constexpr const char* kPasswordMarker = "user_password";
    static constexpr const char* kHiddenMarker = "hidden";

    // The marker standing for value under key, or nothing when it may be logged.
    static std::optional<std::string> markerFor(std::string_view key, const nlohmann::json& value);
    // A copy of value with every secret replaced by its marker, at any depth.
    static nlohmann::json masked(const nlohmann::json& value);
    // Text that did not parse (a cut-off or malformed answer), with the value after every
    // quoted key that names a secret replaced by its marker, and cut to limit bytes.
    static std::string maskedText(std::string_view text, size_t limit = 4096);
};
