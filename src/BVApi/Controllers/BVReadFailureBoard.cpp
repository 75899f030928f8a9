#include "BVApi/Controllers/BVReadFailureBoard.h"

#include <algorithm>

BVReadFailureBoard& BVReadFailureBoard::shared() {
    static BVReadFailureBoard board;
    return board;
}

uint64_t BVReadFailureBoard::mark(double now) const {
    if (empty())
        return sequence_.load();
    // Sequence numbers follow the order of the notes in time: the mark sits just before the
    // first failure noted within the window, so that it and every later one are shared.
    std::lock_guard lock(failuresLock_);
    uint64_t mark = sequence_.load();
    for (const auto& [identifier, failure] : failures_) {
        if (failure.at > now - kSharedFor)
            mark = std::min(mark, failure.noted - 1);
    }
    return mark;
}

void BVReadFailureBoard::note(const std::string& identifier, const bv::Error& error, double now) {
    std::lock_guard lock(failuresLock_);
    failures_[identifier] = Failure{error, ++sequence_, now};
    count_ = failures_.size();
}

std::optional<bv::Error> BVReadFailureBoard::standing(const std::string& identifier,
                                                      uint64_t mark) const {
    if (empty())
        return std::nullopt;
    std::lock_guard lock(failuresLock_);
    auto it = failures_.find(identifier);
    if (it == failures_.end() || it->second.noted <= mark)
        return std::nullopt;
    return it->second.error;
}

void BVReadFailureBoard::clear(const std::string& identifier) {
    if (empty())
        return;
    std::lock_guard lock(failuresLock_);
    failures_.erase(identifier);
    count_ = failures_.size();
}
