#include "platform/NotificationCenter.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "platform/UnhandledException.h"

namespace bv {

struct NotificationCenter::Entry {
    std::string name;
    Observer observer;

    std::mutex callsLock;  // guards removed and callers
    std::condition_variable callFinished;
    bool removed = false;
    // One element per call in progress: the thread making it.
    std::vector<std::thread::id> callers;

    bool busyOnOtherThreadLocked() const {
        const auto self = std::this_thread::get_id();
        return std::any_of(callers.begin(), callers.end(),
                           [&](const std::thread::id& id) { return id != self; });
    }
};

namespace {

class ObserverToken : public NotificationCenter::Token {
  public:
    ObserverToken(std::function<void()> remove) : remove_(std::move(remove)) {}
    ~ObserverToken() override { remove_(); }

  private:
    std::function<void()> remove_;
};

}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: tokens held by other statics may outlive any ordering we pick.
    static auto* center = new NotificationCenter();
    return *center;
}

std::unique_ptr<NotificationCenter::Token> NotificationCenter::addObserver(const std::string& name,
                                                                           Observer observer) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->observer = std::move(observer);
    {
        std::lock_guard<std::mutex> lock(observersLock_);
        observers_.push_back(entry);
    }
    return std::make_unique<ObserverToken>([this, entry] {
        {
            std::lock_guard<std::mutex> lock(observersLock_);
            observers_.erase(std::remove(observers_.begin(), observers_.end(), entry),
                             observers_.end());
        }
        std::unique_lock<std::mutex> lock(entry->callsLock);
        entry->removed = true;
        // Calls on this very thread are further up our own stack (the observer removing
        // itself, or a post made from an observer): waiting for them would never end.
        entry->callFinished.wait(lock, [&] { return !entry->busyOnOtherThreadLocked(); });
    });
}

void NotificationCenter::post(const std::string& name, const nlohmann::json& userInfo) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard<std::mutex> lock(observersLock_);
        for (const auto& entry : observers_)
            if (entry->name == name)
                matching.push_back(entry);
    }
    const auto self = std::this_thread::get_id();
    for (const auto& entry : matching) {
        {
            std::lock_guard<std::mutex> lock(entry->callsLock);
            if (entry->removed)
                continue;
            entry->callers.push_back(self);
        }
        try {
            if (entry->observer)
                entry->observer(name, userInfo);
        } catch (...) {
            reportUnhandledException("NotificationCenter observer", std::current_exception());
        }
        std::lock_guard<std::mutex> lock(entry->callsLock);
        entry->callers.erase(std::find(entry->callers.begin(), entry->callers.end(), self));
        entry->callFinished.notify_all();
    }
}

}  // namespace bv
