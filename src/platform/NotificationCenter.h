#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace bv {

// Process-wide notifications by name ("CancelAllUploads", ...). Observers are called on
// the posting thread. An observer lives as long as the token that addObserver answers:
// once the token is destroyed the observer is never called again, and destroying the
// token waits for a call of that observer in progress on another thread (not for one on
// the destroying thread itself: an observer may destroy its own token). A center must
// outlive the tokens it answered; defaultCenter() is never destroyed.
class NotificationCenter {
public:
    using Observer = std::function<void(const std::string& name, const nlohmann::json& userInfo)>;

    class Token {
    public:
        virtual ~Token() = default;
    };

    static NotificationCenter& defaultCenter();

    [[nodiscard]] std::unique_ptr<Token> addObserver(const std::string& name, Observer observer);
    void post(const std::string& name, const nlohmann::json& userInfo = nullptr);

    struct Entry;

private:
    std::mutex observersLock_;  // guards observers_
    std::vector<std::shared_ptr<Entry>> observers_;
};

}  // namespace bv
