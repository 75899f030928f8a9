#include "ShellFakes.h"

void ManualScheduler::onMain(Task task) {
    if (!queueMain_) {
        task();
        return;
    }
    std::lock_guard lock(lock_);
    mainQueue_.push_back(std::move(task));
}

void ManualScheduler::after(double seconds, Task task) {
    std::lock_guard lock(lock_);
    timers_.emplace(clock_->now() + seconds, std::move(task));
}

void ManualScheduler::advance(double seconds) {
    double end = clock_->now() + seconds;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(lock_);
            if (timers_.empty() || timers_.begin()->first > end)
                break;
            manual().set(std::max(clock_->now(), timers_.begin()->first));
            task = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
        }
        task();
    }
    manual().set(end);
}

int ManualScheduler::pump() {
    int ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(lock_);
            if (mainQueue_.empty())
                return ran;
            task = std::move(mainQueue_.front());
            mainQueue_.pop_front();
        }
        task();
        ++ran;
    }
}

size_t ManualScheduler::pendingTimers() const {
    std::lock_guard lock(lock_);
    return timers_.size();
}

double ManualScheduler::nextTimerIn() const {
    std::lock_guard lock(lock_);
    return timers_.empty() ? -1 : timers_.begin()->first - clock_->now();
}

std::shared_ptr<BVUserSessionItem> FakeSignInService::authenticate(const std::string& username,
                                                                   const std::string&,
                                                                   bv::Error* error) {
    authenticationTimes.push_back(clock ? clock->now() : 0);
    if (!failures.empty()) {
        auto code = failures.front();
        failures.pop_front();
        *error = bv::Error::make(code, code == -197 ? "Wrong password" : "Network down");
        return nullptr;
    }
    auto session = std::make_shared<BVUserSessionItem>();
    session->username = username;
    session->sessionId = "sess-" + username;
    session->driveName = "Cloud";
    session->isAccountUser = accountUser;
    session->active2FA = twoFactor ? "1" : "0";
    return session;
}

bool FakeSignInService::verifyToken(const BVUserSessionItem&, const std::string& token,
                                    bv::Error* error) {
    tokensReceived.push_back(token);
    if (token == validToken)
        return true;
    *error = bv::Error::make(-197, "Token is invalid");
    return false;
}

std::shared_ptr<BVUserInfoItem> FakeAppServices::userInfoNoCache(bv::Error*) {
    ++userInfoRequests;
    auto info = std::make_shared<BVUserInfoItem>();
    info->storageUsed = 1024;
    info->storageMax = 1 << 30;
    info->trashCount = trashCountAtService;
    return info;
}

std::shared_ptr<BVUserLinksItem> FakeAppServices::userLinks(bv::Error*) {
    auto links = std::make_shared<BVUserLinksItem>();
    links->accountLink = "https://example.test/account";
    links->billingLink = "https://example.test/billing";
    return links;
}

bool FakeAppServices::trashItemAt(const std::string& path, bv::Error* error) {
    actedOn.push_back(path);
    if (path == failingPath)
        return *error = bv::Error::make(-197, "refused"), false;
    return true;
}

bool FakeAppServices::restoreItemAt(const std::string& path, std::string* restoredPath,
                                    bv::Error* error) {
    actedOn.push_back(path);
    if (path == failingPath)
        return *error = bv::Error::make(-197, "refused"), false;
    *restoredPath = "/Docs" + path.substr(path.rfind('/'));
    return true;
}

bool FakeAppServices::deleteItemAt(const std::string& path, bv::Error* error) {
    actedOn.push_back(path);
    if (path == failingPath)
        return *error = bv::Error::make(-197, "refused"), false;
    return true;
}
