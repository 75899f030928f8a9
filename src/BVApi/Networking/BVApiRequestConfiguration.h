#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// Where and how requests are sent. A plain value: every request owns its own copy.
class BVApiRequestConfiguration {
  public:
    // Used when neither the environment nor the preferences name a base URL.
    static constexpr const char* kDefaultApiBaseURL = "https://api.brimvault.com/api/v1/";
    static constexpr const char* kApiBaseURLPreference = "apiBaseURL";
    static constexpr const char* kCAFilePreference = "caFile";
    static constexpr const char* kApiBaseURLEnvironment = "BRIMVAULT_API_URL";
    static constexpr const char* kCAFileEnvironment = "BRIMVAULT_CA_FILE";

    BVApiRequestConfiguration();
    BVApiRequestConfiguration(const BVApiRequestConfiguration& other);
    BVApiRequestConfiguration& operator=(const BVApiRequestConfiguration& other);

    // A new configuration on every call: base URL and CA file from the environment,
    // else the preference store, else the built-in default; 3 retries.
    static BVApiRequestConfiguration defaultConfiguration();

    // The base every endpoint is resolved against; always ends in "/". Read and written
    // atomically, so another thread may redirect requests while they are built.
    std::string requestHost() const;
    void setRequestHost(const std::string& host);

    // A PEM file of certificate authorities trusted in addition to the system's; empty
    // for the system's only.
    std::string caFile() const;
    void setCaFile(const std::string& path);

    uint64_t numberOfRetries = 3;

  private:
    mutable std::mutex hostLock_;  // guards requestHost_ and caFile_
    std::string requestHost_;
    std::string caFile_;
};
