#include "Keelhaven/SyncBackupTask/KHVManager.h"

#include <gtest/gtest.h>

#include "FakeTaskParts.h"
#include "TempDir.h"
#include "app/Utilities.h"
#include "platform/NotificationCenter.h"

namespace {

using json = nlohmann::json;
using Strings = std::vector<std::string>;

class KHVManagerTest : public ::testing::Test {
  protected:
    KHVManagerTest() {
        context->clock = std::make_shared<bv::ManualClock>();
        context->parts = parts;
        context->window = recorder;
        mainThread.install(*context);
        user.userName = "alice";
        user.driveName = "MyDrive";
    }

    // Writes the registry file the manager will find, through an instance of its own.
    void storeTasks(const std::vector<std::pair<int64_t, std::string>>& tasks) {
        auto path = KHVManager::databasePath("alice");
        ASSERT_TRUE(path);
        SyncBackupDatabase registry;
        ASSERT_TRUE(registry.openSyncBackupDatabase(*path));
        for (const auto& [id, name] : tasks) {
            json record = {{"TaskType", "Backup"},
                           {"FromPath", "/src/" + name},
                           {"ToPath", "/Old/" + name},
                           {"schedular", {{"SchedularType", "Manual Start"}}}};
            ASSERT_TRUE(
                registry.insertTask({name, "/src/" + name, "/Old/" + name, id, 0, 0, record, 4}));
        }
    }

    bvtest::ScopedHome home;
    std::shared_ptr<SyncBackupTaskContext> context = std::make_shared<SyncBackupTaskContext>();
    std::shared_ptr<khtest::FakeParts> parts = std::make_shared<khtest::FakeParts>();
    std::shared_ptr<khtest::Recorder> recorder = std::make_shared<khtest::Recorder>();
    khtest::ManualMainThread mainThread;
    KHVUserInfo user;
    int terminated = 0;
};

// The task table is keyed by id, so its order is the order of the ids.
TEST_F(KHVManagerTest, LoadsEveryTaskInOrderAndPointsSaveAsAtTheDrive) {
    storeTasks({{1, "Save As"}, {300, "Photos"}, {200, "Docs"}});
    KHVManager manager(context, [&] { ++terminated; });
    ASSERT_TRUE(manager.starWithUserInfo(user, recorder));

    EXPECT_EQ(recorder->calls(), (Strings{
                                     "started 1 Backup /src/Save As /MyDrive/ 0",
                                     "started 200 Backup /src/Docs /Old/Docs 0",
                                     "started 300 Backup /src/Photos /Old/Photos 0",
                                     "loaded all",
                                 }));
    auto rows = context->registry->getAllTasks();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].record["ToPath"], "/MyDrive/");
    EXPECT_EQ(rows[1].record["ToPath"], "/Old/Docs");
    EXPECT_EQ(manager.getTaskAtIndex(2)->taskName(), "Photos");
    EXPECT_EQ(manager.getTaskAtIndex(3), nullptr);
}

TEST_F(KHVManagerTest, AddedTasksAreLoadedAndRemovedOnesLeaveTheList) {
    storeTasks({{10, "A"}, {20, "B"}, {30, "C"}});
    KHVManager manager(context, [&] { ++terminated; });
    ASSERT_TRUE(manager.starWithUserInfo(user, recorder));
    auto added = SyncBackupTask::taskObject("D", 40, context);
    added->setTaskType("Synchronization");
    manager.addTaskToList(added);
    EXPECT_EQ(recorder->calls().back(), "started 40 Synchronization   0");

    manager.removeTasksAtIndexes({2, 0, 9, 2});
    Strings names;
    for (const auto& task : manager.tasks())
        names.push_back(task->taskName());
    EXPECT_EQ(names, (Strings{"B", "D"}));
    manager.removeFromListTaskAt(5);
    EXPECT_EQ(manager.tasks().size(), 2u);
}

TEST_F(KHVManagerTest, OnlyTheDrivesOwnUnmountEndsTheApplication) {
    KHVManager manager(context, [&] { ++terminated; });
    ASSERT_TRUE(manager.starWithUserInfo(user, recorder));
    const std::string own = Utilities::driveMountDirectory() + "/MyDrive";

    auto& center = bv::NotificationCenter::defaultCenter();
    center.post(KHVManager::kDidUnmountNotification, {{"NSDevicePath", own + "Other"}});
    center.post(KHVManager::kDidUnmountNotification, {{"NSDevicePath", "/media/usb"}});
    center.post(KHVManager::kDidUnmountNotification, json("not a dictionary"));
    EXPECT_EQ(terminated, 0);
    center.post(KHVManager::kDidUnmountNotification, {{"NSDevicePath", own}});
    EXPECT_EQ(terminated, 1);
}

}  // namespace
