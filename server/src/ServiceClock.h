#pragma once

#include <atomic>
#include <cstdint>

#include "MetadataStore.h"

namespace bvserver {

// Seconds since 1970 for the expiry of sessions, two-factor codes and open uploads. Tests
// move it forward through the admin endpoint instead of waiting; change stamps keep the
// real time.
class ServiceClock {
  public:
    int64_t now() const { return nowSeconds() + offset_.load(); }
    void advance(int64_t seconds) { offset_ += seconds; }

  private:
    std::atomic<int64_t> offset_{0};
};

}  // namespace bvserver
