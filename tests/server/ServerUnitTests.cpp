#include <gtest/gtest.h>

#include "ApiRouter.h"
#include "NameRules.h"
#include "ServiceError.h"

namespace {

using bvserver::ApiRouter;
using bvserver::NameRules;

struct TargetCase {
    std::string target;
    bool ok;
    std::string endpoint;
    std::vector<std::string> args;
};

TEST(ServerRouting, SplitsEndpointAndDecodedArguments) {
    const std::vector<TargetCase> cases = {
        {"/api/v1/session/login.json/", true, "session/login.json", {}},
        {"/api/v1/users/info.json/abc?", true, "users/info.json", {"abc"}},
        {"/api/v1/folder/list.json/s1/0?last_request_time=0",
         true,
         "folder/list.json",
         {"s1", "0"}},
        {"/api/v1/folder/list.json//0?", true, "folder/list.json", {"", "0"}},
        {"/api/v1/file.json/s/a%2Fb%20c", true, "file.json", {"s", "a/b c"}},
        {"/api/v1/sharing/listsharedfolders.json/s/7?",
         true,
         "sharing/listsharedfolders.json",
         {"s", "7"}},
        {"/api/v1/folder.json", true, "folder.json", {}},
        {"/api/v1/nothing/here", false, "", {}},
        {"/other/folder.json", false, "", {}},
        {"/api/v1/", false, "", {}},
    };
    for (const auto& c : cases) {
        std::string endpoint;
        std::vector<std::string> args;
        bool ok = ApiRouter::splitTarget(c.target, &endpoint, &args);
        EXPECT_EQ(ok, c.ok) << c.target;
        if (!ok || !c.ok)
            continue;
        EXPECT_EQ(endpoint, c.endpoint) << c.target;
        EXPECT_EQ(args, c.args) << c.target;
    }
}

TEST(ServerNames, RefusesUnsafeNamesAndFoldsCase) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"report.txt", true},
        {"Ünïcode ok", true},
        {"", false},
        {".", false},
        {"..", false},
        {"a/b", false},
        {std::string("a\0b", 3), false},
        {"\xff\xfe", false},
        {std::string(256, 'x'), false},
        {"...", true},
    };
    for (const auto& [name, valid] : names) {
        bool accepted = true;
        try {
            NameRules::validate(name);
        } catch (const bvserver::ServiceError&) {
            accepted = false;
        }
        EXPECT_EQ(accepted, valid) << name;
    }
    EXPECT_EQ(NameRules::key("Report.TXT"), NameRules::key("report.txt"));
    // Precomposed and decomposed spellings of "é" name the same item.
    EXPECT_EQ(NameRules::key("caf\xc3\xa9"), NameRules::key("cafe\xcc\x81"));
    EXPECT_NE(NameRules::key("a.txt"), NameRules::key("b.txt"));
}

}  // namespace
