#pragma once

#include <stdexcept>
#include <string>

// A storage or argument failure of the cache, raised where callers must not go on: a name
// ("BVCacheController" or "BVCacheFileBackend") and a reason text.
class BVCacheException : public std::runtime_error {
  public:
    BVCacheException(std::string name, const std::string& reason)
        : std::runtime_error(reason), name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    std::string reason() const { return what(); }

  private:
    std::string name_;
};

// Cached content that failed its checks (damaged, cut short, or without checksums): it must
// not be served, and the cache drops it so it is downloaded again.
class BVCacheDamagedException : public BVCacheException {
  public:
    using BVCacheException::BVCacheException;
};
