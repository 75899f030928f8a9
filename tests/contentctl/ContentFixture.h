#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "ReferenceServer.h"
#include "TempDir.h"
#include "platform/Clock.h"
#include "platform/UserInterface.h"

namespace bvtest {

// A fresh account on the reference service per test, signed in, with its session in a new
// cache whose clock is manual, and a content controller on both.
class ContentFixture : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Signs in (a new account unless user is given) and makes cache and controller.
    void signIn(const std::string& user, const std::string& password);
    // A new empty cache holding the session, and a controller on it.
    void freshCache();
    std::string newUser(const nlohmann::json& extra = nlohmann::json::object());

    // Service-side changes, made directly through the client.
    std::string makeFolder(const std::string& name, const std::string& parentId);
    std::string makeFile(const std::string& name, const std::string& parentId);
    BVApiClientAuthContext* service() { return context_.get(); }

    // Every log record written so far.
    static std::string logText();
    static size_t occurrences(const std::string& text, const std::string& what);

    static ReferenceServer* server_;
    static ScopedHome* home_;

    TempDir dir_;
    std::shared_ptr<bv::ManualClock> clock_;
    std::unique_ptr<BVApiClient> client_;
    std::shared_ptr<BVApiClientAuthContext> context_;
    std::shared_ptr<BVCacheController> cache_;
    std::shared_ptr<bv::ScriptedUserInterface> ui_ = std::make_shared<bv::ScriptedUserInterface>();
    std::unique_ptr<BVContentController> content_;
    std::string user_;
    int caches_ = 0;
};

}  // namespace bvtest
