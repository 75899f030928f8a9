#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Controllers/BVExtendedAttributesController.h"
#include "TempDir.h"
#include "platform/Clock.h"

namespace {

using Controller = BVExtendedAttributesController;

bv::Data bytes(const std::string& text) {
    return bv::Data::fromString(text);
}

class ExtendedAttributesTest : public ::testing::Test {
  protected:
    ExtendedAttributesTest() { restart(); }
    ~ExtendedAttributesTest() override { BVCacheController::resetSharedController(); }

    // A new process on the same cache folder.
    void restart() {
        controller.reset();
        BVCacheController::Options options;
        options.clock = clock;
        cache = std::make_shared<BVCacheController>(dir.path() / "Cache", options);
        controller = std::make_unique<Controller>(cache);
    }

    std::string value(const std::string& name, const std::string& path, uint64_t position = 0) {
        auto v = controller->valueOfExtendedAttribute(name, path, position, nullptr);
        return v ? v->toString() : "<none>";
    }

    std::vector<std::string> names(const std::string& path) {
        auto list = controller->extendedAttributesOfItemAtPath(path, nullptr);
        std::sort(list.begin(), list.end());
        return list;
    }

    bvtest::TempDir dir{"sidecars"};
    std::shared_ptr<bv::ManualClock> clock = std::make_shared<bv::ManualClock>();
    std::shared_ptr<BVCacheController> cache;
    std::unique_ptr<Controller> controller;
};

TEST_F(ExtendedAttributesTest, LinuxAndDesignNamesShareTheTwoSlots) {
    struct Case {
        const char* name;
        const char* stored;  // null: refused
    } cases[] = {
        {"user.xdg.tags", Controller::kTagsName},
        {"user.com.apple.metadata:_kMDItemUserTags", Controller::kTagsName},
        {"com.apple.metadata:_kMDItemUserTags", Controller::kTagsName},
        {"user.com.apple.FinderInfo", Controller::kFinderInfoName},
        {"com.apple.FinderInfo", Controller::kFinderInfoName},
        {"user.xdg.comment", nullptr},
        {"user.baloo.rating", nullptr},
        {"security.selinux", nullptr},
        {"user.XDG.TAGS", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto stored = Controller::storedNameFor(c.name);
        EXPECT_EQ(stored.value_or("<refused>"), c.stored ? c.stored : "<refused>");
        EXPECT_TRUE(controller->setExtendedAttribute(c.name, "/f", bytes(c.name), 0, 0, nullptr));
        EXPECT_EQ(value(c.name, "/f"), c.stored ? c.name : "<none>");
    }
    // The last writer of each slot wins; a listing answers names a Linux caller can read.
    EXPECT_EQ(names("/f"),
              (std::vector<std::string>{"user.com.apple.FinderInfo", "user.xdg.tags"}));
    EXPECT_EQ(value("user.xdg.tags", "/f"), "com.apple.metadata:_kMDItemUserTags");
    EXPECT_EQ(controller->sharedXAttrs()->xattrsByPath.at("/f").size(), 2u);
}

TEST_F(ExtendedAttributesTest, RefusedNamesStoreNothing) {
    EXPECT_TRUE(
        controller->setExtendedAttribute("user.xdg.comment", "/f", bytes("c"), 0, 0, nullptr));
    EXPECT_TRUE(names("/f").empty());
    EXPECT_TRUE(controller->sharedXAttrs()->xattrsByPath.empty());
    EXPECT_TRUE(controller->removeExtendedAttribute("user.xdg.comment", "/f", nullptr));
    EXPECT_TRUE(controller->removeExtendedAttribute("user.xdg.tags", "/missing", nullptr));
}

TEST_F(ExtendedAttributesTest, PositionKeepsThePrefixAndAppends) {
    struct Case {
        uint64_t position;
        const char* expected;
    } cases[] = {{0, "XY"}, {3, "abcXY"}, {6, "abcdefXY"}, {100, "abcdefXY"}};
    for (const auto& c : cases) {
        controller->setExtendedAttribute("user.xdg.tags", "/f", bytes("abcdef"), 0, 0, nullptr);
        controller->setExtendedAttribute("user.xdg.tags", "/f", bytes("XY"), c.position, 0,
                                         nullptr);
        EXPECT_EQ(value("user.xdg.tags", "/f"), c.expected) << c.position;
    }
    EXPECT_EQ(value("user.xdg.tags", "/f", 6), "XY");
    EXPECT_EQ(value("user.xdg.tags", "/f", 8), "");
    EXPECT_EQ(value("user.xdg.tags", "/f", UINT64_MAX), "");
    EXPECT_EQ(value("user.com.apple.FinderInfo", "/f"), "<none>");
    EXPECT_EQ(value("user.xdg.tags", "/g"), "<none>");
}

TEST_F(ExtendedAttributesTest, RemovingOneAttributeKeepsTheOther) {
    controller->setExtendedAttribute("user.xdg.tags", "/f", bytes("t"), 0, 0, nullptr);
    controller->setExtendedAttribute("user.com.apple.FinderInfo", "/f", bytes("i"), 0, 0, nullptr);
    EXPECT_TRUE(controller->removeExtendedAttribute("user.xdg.tags", "/f", nullptr));
    EXPECT_EQ(names("/f"), std::vector<std::string>{"user.com.apple.FinderInfo"});
    controller->removeExtendedAttributesAt("/f");
    EXPECT_TRUE(names("/f").empty());
}

TEST_F(ExtendedAttributesTest, MovesCarryTheSubtreeAndReplaceTheDestination) {
    for (const char* path : {"/A", "/A/x", "/A/B/y", "/AB", "/A-1", "/C", "/C/old"})
        controller->setExtendedAttribute("user.xdg.tags", path, bytes(path), 0, 0, nullptr);

    controller->moveExtendedAttributesFrom("/A", "/C");
    EXPECT_EQ(value("user.xdg.tags", "/C"), "/A");
    EXPECT_EQ(value("user.xdg.tags", "/C/x"), "/A/x");
    EXPECT_EQ(value("user.xdg.tags", "/C/B/y"), "/A/B/y");
    EXPECT_EQ(value("user.xdg.tags", "/C/old"), "<none>");
    EXPECT_EQ(value("user.xdg.tags", "/A"), "<none>");
    EXPECT_EQ(value("user.xdg.tags", "/A/x"), "<none>");
    EXPECT_EQ(value("user.xdg.tags", "/AB"), "/AB");
    EXPECT_EQ(value("user.xdg.tags", "/A-1"), "/A-1");

    // Nothing to move leaves the destination alone.
    controller->moveExtendedAttributesFrom("/none", "/AB");
    EXPECT_EQ(value("user.xdg.tags", "/AB"), "/AB");
}

TEST_F(ExtendedAttributesTest, RecursiveRemovalSparesSiblingsSharingThePrefix) {
    for (const char* path : {"/A", "/A/x", "/A/B/y", "/AB", "/A-1", "/B"})
        controller->setExtendedAttribute("user.xdg.tags", path, bytes("t"), 0, 0, nullptr);
    controller->removeExtendedAttributesRecursivelyAt("/A");
    auto remaining = controller->sharedXAttrs()->xattrsByPath;
    std::vector<std::string> paths;
    for (const auto& [path, map] : remaining)
        paths.push_back(path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/A-1", "/AB", "/B"}));
    controller->removeExtendedAttributesRecursivelyAt("/");
    EXPECT_TRUE(controller->sharedXAttrs()->xattrsByPath.empty());
}

TEST_F(ExtendedAttributesTest, TagsSurviveARestartAfterEveryKindOfChange) {
    controller->setExtendedAttribute("user.xdg.tags", "/Docs/a.txt", bytes("red"), 0, 0, nullptr);
    controller->setExtendedAttribute("user.xdg.tags", "/gone/b", bytes("blue"), 0, 0, nullptr);
    controller->removeExtendedAttributesRecursivelyAt("/gone");
    clock->advance(5);
    controller->moveExtendedAttributesFrom("/Docs", "/Papers");

    restart();
    EXPECT_EQ(value("user.xdg.tags", "/Papers/a.txt"), "red");
    EXPECT_EQ(value("user.xdg.tags", "/Docs/a.txt"), "<none>");
    EXPECT_EQ(value("user.xdg.tags", "/gone/b"), "<none>");
    EXPECT_EQ(controller->sharedXAttrs()->identifier, "default");
    EXPECT_DOUBLE_EQ(controller->sharedXAttrs()->dateModified, clock->now());
}

TEST_F(ExtendedAttributesTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4, kPaths = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPaths; ++i) {
                std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
                controller->setExtendedAttribute("user.xdg.tags", path, bytes(path), 0, 0, nullptr);
                controller->extendedAttributesOfItemAtPath(path, nullptr);
                controller->moveExtendedAttributesFrom(path, path + "m");
            }
        });
    for (auto& thread : threads)
        thread.join();
    restart();
    EXPECT_EQ(controller->sharedXAttrs()->xattrsByPath.size(), size_t(kThreads * kPaths));
    EXPECT_EQ(value("user.xdg.tags", "/t3/7m"), "/t3/7");
}

TEST_F(ExtendedAttributesTest, SharedControllerFollowsTheSignedInCache) {
    controller->setExtendedAttribute("user.xdg.tags", "/f", bytes("mine"), 0, 0, nullptr);
    // The second controller on the folder reads what the first one wrote to disk.
    cache->flush();
    BVCacheController::cacheControllerAt(dir.path() / "Cache");
    auto shared = Controller::sharedController();
    EXPECT_EQ(Controller::sharedController(), shared);
    auto stored = shared->valueOfExtendedAttribute("user.xdg.tags", "/f", 0, nullptr);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->toString(), "mine");

    bvtest::TempDir other("sidecars");
    BVCacheController::cacheControllerAt(other.path() / "Cache");
    auto next = Controller::sharedController();
    EXPECT_NE(next, shared);
    EXPECT_FALSE(next->valueOfExtendedAttribute("user.xdg.tags", "/f", 0, nullptr));
    BVCacheController::resetSharedController();
    Controller::resetSharedController();
}

}  // namespace
