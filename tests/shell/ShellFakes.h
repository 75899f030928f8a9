#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/Shell/BVAppServices.h"
#include "app/Shell/BVShellScheduler.h"
#include "app/Shell/BVSignInService.h"

// Runs main-thread work at once (or, with queueMain, when pumped) and timers by a manual
// clock that advance() moves.
class ManualScheduler : public BVShellScheduler {
  public:
    explicit ManualScheduler(bool queueMain = false)
        : clock_(std::make_shared<bv::ManualClock>()), queueMain_(queueMain) {}
    const std::shared_ptr<bv::Clock>& clock() const override { return clock_; }
    bv::ManualClock& manual() { return static_cast<bv::ManualClock&>(*clock_); }
    void onMain(Task task) override;
    void after(double seconds, Task task) override;
    void inBackground(Task task) override { task(); }
    // Moves the clock by seconds, running each timer when its time comes.
    void advance(double seconds);
    // Runs the queued main-thread work; answers how many ran.
    int pump();
    size_t pendingTimers() const;
    // Seconds from now to the earliest timer, or -1.
    double nextTimerIn() const;

  private:
    std::shared_ptr<bv::Clock> clock_;
    bool queueMain_;
    mutable std::mutex lock_;  // guards timers_ and mainQueue_
    std::multimap<double, Task> timers_;
    std::deque<Task> mainQueue_;
};

// A service with scripted answers that counts what reaches it.
class FakeSignInService : public BVSignInService {
  public:
    std::shared_ptr<BVUserSessionItem> authenticate(const std::string& username,
                                                    const std::string& password,
                                                    bv::Error* error) override;
    bool verifyToken(const BVUserSessionItem&, const std::string& token, bv::Error* error) override;
    bool sendToken(const BVUserSessionItem&, bv::Error*) override { return ++textMessages, true; }
    int64_t uploadSpeedLimit(const std::shared_ptr<BVUserSessionItem>&, bv::Error*) override {
        return speedLimit;
    }
    bool logout(const std::shared_ptr<BVUserSessionItem>&, bv::Error*) override {
        return ++logouts, true;
    }

    // Failures to answer the next authentications with (code), before succeeding.
    std::deque<int64_t> failures;
    bool twoFactor = false;
    std::string validToken = "1234567";
    int64_t speedLimit = 0;
    bool accountUser = false;
    std::vector<double> authenticationTimes;
    std::vector<std::string> tokensReceived;
    int textMessages = 0;
    int logouts = 0;
    std::shared_ptr<bv::Clock> clock;
};

// The rest of the system, counted.
class FakeAppServices : public BVAppServices {
  public:
    bool startUserSession(const std::shared_ptr<BVUserSessionItem>&, bv::Error*) override {
        return ++sessionsStarted, true;
    }
    void mountDrive() override { ++mounts; }
    bool unmountDrive() override { return ++unmounts, unmountSucceeds; }
    std::string mountPoint() const override { return "/Volumes/Cloud"; }
    bool logoutAtService(bv::Error*) override { return ++serviceLogouts, true; }
    std::shared_ptr<BVUserInfoItem> userInfoNoCache(bv::Error*) override;
    std::shared_ptr<BVUserLinksItem> userLinks(bv::Error*) override;
    bool syncSynchedItems(bv::Error*) override { return ++syncs, true; }
    std::shared_ptr<BVNotificationsItem> userNotifications(bv::Error*) override {
        ++notificationRequests;
        auto item = std::make_shared<BVNotificationsItem>();
        item->list = notifications;
        return item;
    }
    bool trashItemAt(const std::string& path, bv::Error* error) override;
    bool restoreItemAt(const std::string& path, std::string* restoredPath,
                       bv::Error* error) override;
    bool deleteItemAt(const std::string& path, bv::Error* error) override;
    bool emptyTrash(bv::Error*) override { return true; }
    void purgeTrashListing() override { ++trashPurges; }
    void forgetLocalCopies(const std::string&) override {}
    void folderChanged(const std::string& path) override { changedFolders.push_back(path); }
    void cancelAllUploads() override { ++cancelAllUploadsPosts; }
    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    std::string relaunch() override { return ++relaunches, "started"; }
    void terminate(int status) override { exitStatuses.push_back(status); }

    std::atomic<int> userInfoRequests{0};
    int64_t trashCountAtService = 0;
    std::string failingPath;  // the action on this path fails
    bool unmountSucceeds = true;
    int sessionsStarted = 0, mounts = 0, unmounts = 0, serviceLogouts = 0, trashPurges = 0;
    int cancelAllUploadsPosts = 0, relaunches = 0;
    std::atomic<int> syncs{0};
    nlohmann::json notifications = nlohmann::json::array();  // what the service answers
    int notificationRequests = 0;
    std::vector<std::string> changedFolders, openedURLs, actedOn;
    std::vector<int> exitStatuses;
};
