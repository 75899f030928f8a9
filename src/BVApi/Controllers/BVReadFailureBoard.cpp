#include "BVApi/Controllers/BVReadFailureBoard.h"

BVReadFailureBoard& BVReadFailureBoard::shared() {
    static BVReadFailureBoard board;
    return board;
}

void BVReadFailureBoard::note(const std::string& identifier, const bv::Error& error) {
    std::lock_guard lock(failuresLock_);
    failures_[identifier] = Failure{error, ++sequence_};
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
