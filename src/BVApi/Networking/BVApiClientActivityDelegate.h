#pragma once

#include <string>

// Told about network activity of the service client (the application shows an activity
// indicator). Called on the thread that runs the exchange, from any thread.
class BVApiClientActivityDelegate {
  public:
    virtual ~BVApiClientActivityDelegate() = default;
    virtual void didStartedRequest() = 0;
    virtual void didFinishedRequest() = 0;
    virtual void setActivityDescription(const std::string& description) = 0;
};
