#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace bv {

// A per-application preference store: one JSON object per domain in
// $XDG_CONFIG_HOME/Brimvault/<domain>.json. Every change is written at once, atomically
// (temporary file, fsync, rename). A missing or damaged file reads as empty. Thread-safe.
class Preferences {
  public:
    static constexpr const char* kDriveDomain = "com.Brimvault.Brimvault";
    static constexpr const char* kKeelhavenDomain = "com.brimvault.khv.Keelhaven";

    explicit Preferences(std::string domain);
    Preferences(std::string domain, std::filesystem::path folder);

    // The store of the running program; its domain is set once at start-up
    // (setStandardDomain), the drive application's by default. When the domain or
    // $XDG_CONFIG_HOME changes (tests), a fresh store is answered; earlier ones stay valid.
    static Preferences& standard();
    static void setStandardDomain(const std::string& domain);

    nlohmann::json objectForKey(const std::string& key) const;  // null when absent
    bool boolForKey(const std::string& key) const;              // false when absent
    std::string stringForKey(const std::string& key) const;     // empty when absent
    void setObject(const std::string& key, const nlohmann::json& value);
    void setBool(const std::string& key, bool value) { setObject(key, value); }
    void removeObjectForKey(const std::string& key);
    // Re-reads the file (another process may have written it).
    void reload();
    // Grows with every change and reload, so a reader on a hot path can keep what it
    // derived from the values and read them again only when this moved.
    uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

    const std::filesystem::path& filePath() const { return file_; }

  private:
    void loadLocked();
    bool saveLocked() const;

    std::string domain_;
    std::filesystem::path folder_;
    std::filesystem::path file_;
    mutable std::mutex valuesLock_;  // guards values_ and the file
    nlohmann::json values_ = nlohmann::json::object();
    std::atomic<uint64_t> generation_{0};
};

}  // namespace bv
