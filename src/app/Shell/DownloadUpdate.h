#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// Downloads the package an update offer names into a file of our own, for the system's
// package installer. The file lives in a folder only this user may change and is made
// owner-only, never through a link; it is complete only once renamed to its final name,
// after the answer was a 200, every announced byte arrived and the offer's size and SHA-256
// (when it gives them) match. Nothing here runs what was downloaded.
//
// One download per object, blocking its caller; progress comes on the caller's thread.
class DownloadUpdate {
  public:
    static constexpr double kTimeout = 30;
    static constexpr const char* kFailedMessage =
        "Update download failed. Please press retry to try again.";

    // What an update notification offers: its link, and what it says the file is.
    struct Offer {
        std::string url;
        std::optional<uint64_t> size;
        std::string sha256;  // lower-case hex; empty when the offer gives none
        // From a notification entry ("URL", "Size", "SHA256"); a malformed size or digest
        // is dropped rather than trusted.
        static Offer fromNotification(const nlohmann::json& entry);
    };

    struct Result {
        bool ok = false;
        std::string path;    // the finished file
        std::string sha256;  // of what was received
        std::string error;   // why it failed, for the user
    };

    // target: the finished file's path; caFile: extra authorities for the TLS check (empty
    // for the system's).
    DownloadUpdate(std::string target, std::string caFile);

    // Progress is the whole percentage received of the announced length, then 100.
    Result downloadUpdate(const Offer& offer, const std::function<void(int percent)>& progress);

    // The file and its folder are ours, are no links, and nobody else may change them.
    static bool isPrivateFile(const std::string& path, std::string* why);
    // The SHA-256 of a file in lower-case hex; empty when it cannot be read.
    static std::string sha256Of(const std::string& path);

  private:
    bool prepareFolder(std::string* why) const;

    const std::string target_;
    const std::string caFile_;
};
