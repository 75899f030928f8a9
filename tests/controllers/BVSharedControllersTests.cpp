#include <gtest/gtest.h>

#include <chrono>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVSharedControllers.h"
#include "TempDir.h"

namespace {

// The order matters only if every piece really ends: a refresher still revisiting, or a
// store still waiting in the cache's writer, is what used to meet destroyed objects at exit.
TEST(SharedControllers, ShutdownEndsTheRefresherAndWritesThePendingCacheChanges) {
    bvtest::ScopedHome home;
    bvtest::TempDir dir("shutdown");
    auto cache = BVCacheController::cacheControllerAt(
        dir.path() / "Cache",
        {.clock = nullptr, .runtimeIdentifier = "run", .writeDelay = std::chrono::hours(1)});
    auto session = std::make_shared<BVUserSessionItem>();
    session->username = "ann";
    cache->storeItem(session);

    auto* refresher = BVBackgroundFolderUpdateController::sharedController();
    ASSERT_FALSE(refresher->isStopped());

    BVSharedControllers::shutdown();

    EXPECT_TRUE(refresher->isStopped());
    EXPECT_EQ(BVBackgroundFolderUpdateController::existingSharedController(), refresher);
    EXPECT_EQ(BVCacheController::sharedController(), nullptr);
    // Nothing was waiting for a flush: a new controller on the folder reads the session.
    cache.reset();
    auto reopened = BVCacheController::cacheControllerAt(
        dir.path() / "Cache", {.clock = nullptr, .runtimeIdentifier = "run"});
    auto stored = reopened->fetchItemWithKey("default", BVUserSessionItem::itemClass());
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::static_pointer_cast<BVUserSessionItem>(stored)->username, "ann");

    // A second shutdown, as a Guard in main adds after an explicit one, changes nothing.
    { BVSharedControllers::Guard guard; }
    EXPECT_TRUE(refresher->isStopped());
    BVCacheController::resetSharedController();
}

}  // namespace
