#include "BVApi/Networking/BVApiRequestConfiguration.h"

#include <cstdlib>

#include "BVApi/Networking/BVNetworkSettings.h"

namespace {

std::string environmentOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

// Endpoints are resolved relative to the base, so a base without its trailing "/"
// would silently drop its last path segment.
std::string withTrailingSlash(std::string url) {
    if (url.empty() || url.back() != '/')
        url.push_back('/');
    return url;
}

}  // namespace

BVApiRequestConfiguration::BVApiRequestConfiguration() : requestHost_(kDefaultApiBaseURL) {}

BVApiRequestConfiguration::BVApiRequestConfiguration(const BVApiRequestConfiguration& other)
    : numberOfRetries(other.numberOfRetries) {
    std::lock_guard lock(other.hostLock_);
    requestHost_ = other.requestHost_;
    caFile_ = other.caFile_;
}

BVApiRequestConfiguration& BVApiRequestConfiguration::operator=(
    const BVApiRequestConfiguration& other) {
    if (this == &other)
        return *this;
    std::string host = other.requestHost();
    std::string ca = other.caFile();
    numberOfRetries = other.numberOfRetries;
    std::lock_guard lock(hostLock_);
    requestHost_ = std::move(host);
    caFile_ = std::move(ca);
    return *this;
}

BVApiRequestConfiguration BVApiRequestConfiguration::defaultConfiguration() {
    const auto& settings = BVNetworkSettings::current();
    BVApiRequestConfiguration configuration;
    const std::string& host = settings.apiBaseURL;
    configuration.setRequestHost(
        environmentOr(kApiBaseURLEnvironment, host.empty() ? kDefaultApiBaseURL : host));
    configuration.setCaFile(environmentOr(kCAFileEnvironment, settings.caFile));
    return configuration;
}

std::string BVApiRequestConfiguration::requestHost() const {
    std::lock_guard lock(hostLock_);
    return requestHost_;
}

void BVApiRequestConfiguration::setRequestHost(const std::string& host) {
    std::string normalized = withTrailingSlash(host);
    std::lock_guard lock(hostLock_);
    requestHost_ = std::move(normalized);
}

std::string BVApiRequestConfiguration::caFile() const {
    std::lock_guard lock(hostLock_);
    return caFile_;
}

void BVApiRequestConfiguration::setCaFile(const std::string& path) {
    std::lock_guard lock(hostLock_);
    caFile_ = path;
}
