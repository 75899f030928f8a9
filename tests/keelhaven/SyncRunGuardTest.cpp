// Runs refused before they change anything: a missing local folder, a mass deletion.
#include "Keelhaven/SyncRunGuard/SyncRunGuard.h"

#include <algorithm>

#include "Keelhaven/SyncRunGuard/SyncRunPlanner.h"

#include <gtest/gtest.h>

#include "Keelhaven/SyncBackTaskExecutor/SyncBackTaskExecutor.h"
#include "SyncFolderPair.h"
#include "app/Logging/BVLogging.h"

namespace khtest {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr int64_t kT0 = 1'600'000'000;

class SyncRunGuardTest : public SamAccountSuite {
  protected:
    std::unique_ptr<SyncFolderPair> pair(const std::string& folder, bool localToCloud) {
        return std::make_unique<SyncFolderPair>(*server_, "sam", "pw-sam", folder,
                                                SyncBackupTask::kSynchronization, localToCloud);
    }

    // One run with the guard in front, as the program runs tasks.
    int64_t runGuarded(SyncFolderPair& p) {
        SyncRunEnvironment environment = p.environment();
        guard_->install(environment);
        SyncBackTaskExecutor executor(*p.task(), environment);
        executor.main();
        return p.task()->lastStatus();
    }

    static size_t files(const SyncFolderPair::Tree& tree) {
        size_t n = 0;
        for (const auto& [path, content] : tree)
            n += content != "<dir>";
        return n;
    }

    std::shared_ptr<SyncRunGuard> guard_ = std::make_shared<SyncRunGuard>();
};

TEST_F(SyncRunGuardTest, SixtyOfAHundredGoneStopsTheRunUntilDeletesAreAllowed) {
    for (bool goneLocally : {true, false}) {
        SCOPED_TRACE(goneLocally ? "gone locally" : "gone on the service");
        auto p = pair(goneLocally ? "massLocal" : "massCloud", true);
        for (int i = 0; i < 50; ++i) {
            p->writeLocal("f" + std::to_string(i) + ".txt", "top " + std::to_string(i), kT0);
            p->writeLocal("sub/g" + std::to_string(i) + ".txt", "sub " + std::to_string(i), kT0);
        }
        ASSERT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
        ASSERT_EQ(files(p->cloudTree()), 100u);

        // A whole folder and ten files more: 60 of 100.
        auto remove = [&](const std::string& path) {
            goneLocally ? p->removeLocal(path) : p->removeCloud(path);
        };
        remove("sub");
        for (int i = 0; i < 10; ++i)
            remove("f" + std::to_string(i) + ".txt");
        auto untouched = goneLocally ? p->cloudTree() : p->localTree();
        ASSERT_EQ(files(untouched), 100u);

        EXPECT_EQ(runGuarded(*p), SyncBackupTask::kFailed);
        EXPECT_TRUE(p->logHas("60 of the 100 files recorded")) << p->logText();
        EXPECT_EQ(goneLocally ? p->cloudTree() : p->localTree(), untouched);
        // Refused again on the next run: the guard is not a one-time warning.
        EXPECT_EQ(runGuarded(*p), SyncBackupTask::kFailed);

        guard_->allowDeletesOnce(p->task()->taskId());
        EXPECT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
        EXPECT_EQ(files(p->cloudTree()), 40u);
        EXPECT_EQ(p->cloudTree(), p->localTree());
    }
}

TEST_F(SyncRunGuardTest, FewDeletionsPass) {
    auto p = pair("fewGone", true);
    for (int i = 0; i < 60; ++i)
        p->writeLocal("f" + std::to_string(i) + ".txt", "x", kT0);
    ASSERT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
    // Under half, and under half again with fewer than 50 at stake.
    for (int i = 0; i < 29; ++i)
        p->removeLocal("f" + std::to_string(i) + ".txt");
    EXPECT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
    for (int i = 29; i < 60; i += 2)
        p->removeLocal("f" + std::to_string(i) + ".txt");
    EXPECT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->cloudTree(), p->localTree());
}

TEST_F(SyncRunGuardTest, MissingLocalFolderOfATaskThatRanBeforeFailsAndChangesNothing) {
    auto p = pair("missingRoot", false);
    p->writeCloud("a.txt", "alpha", kT0);
    p->writeCloud("sub/b.txt", "beta", kT0);
    ASSERT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
    ASSERT_EQ(p->localTree().size(), 3u);
    auto cloud = p->cloudTree();

    fs::remove_all(p->localRoot());
    EXPECT_EQ(runGuarded(*p), SyncBackupTask::kFailed);
    EXPECT_TRUE(p->logHas("The local folder " + p->localRoot().string() + " is missing"))
        << p->logText();
    EXPECT_FALSE(fs::exists(p->localRoot()));
    EXPECT_EQ(p->cloudTree(), cloud);
}

TEST_F(SyncRunGuardTest, DryRunListsTheActionsAndChangesNothingOnEitherSide) {
    auto p = pair("dryRun", true);
    p->writeLocal("gone.txt", "g", kT0);
    p->writeLocal("kept/old.txt", "o", kT0);
    ASSERT_EQ(runGuarded(*p), SyncBackupTask::kSucceeded) << p->logText();
    p->writeLocal("new.txt", "n", kT0);
    p->writeLocal("kept/inner.txt", "i", kT0);
    p->removeLocal("gone.txt");
    p->writeCloud("fromCloud.txt", "c", kT0);
    auto local = p->localTree();
    auto cloud = p->cloudTree();
    auto snapshotLocal = p->snapshot(true);
    auto snapshotCloud = p->snapshot(false);

    std::vector<std::string> actions;
    std::string reason;
    ASSERT_TRUE(SyncRunPlanner::plan(*p->task(), p->environment(), &actions, &reason)) << reason;
    auto has = [&](const std::string& head, const std::string& name) {
        return std::any_of(actions.begin(), actions.end(), [&](const std::string& line) {
            return line.rfind(head, 0) == 0 && line.find(name) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("upload ", "new.txt"));
    EXPECT_TRUE(has("upload ", "kept/inner.txt"));
    EXPECT_TRUE(has("download ", "fromCloud.txt"));
    EXPECT_TRUE(has("delete on Brimvault ", "gone.txt"));
    EXPECT_EQ(actions.size(), 4u) << ::testing::PrintToString(actions);

    EXPECT_EQ(p->localTree(), local);
    EXPECT_EQ(p->cloudTree(), cloud);
    EXPECT_EQ(p->snapshot(true), snapshotLocal);
    EXPECT_EQ(p->snapshot(false), snapshotCloud);
}

}  // namespace
}  // namespace khtest
