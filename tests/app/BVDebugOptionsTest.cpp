#include "app/Logging/BVDebugOptions.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/Preferences.h"

namespace {

TEST(BVDebugOptions, AnswersFromTheDictionaryUnderDBGKeys) {
    struct Case {
        nlohmann::json keys;
        const char* option;
        bool expected;
    };
    const std::vector<Case> cases = {
        {nullptr, "verbose", false},
        {{{"verbose", true}}, "verbose", true},
        {{{"verbose", false}}, "verbose", false},
        {{{"verbose", true}}, "other", false},
        {{{"verbose", "yes"}}, "verbose", false},
        {{{"ALL", false}}, "anything", true},
        {{{"ALL", nullptr}, {"verbose", false}}, "verbose", true},
        {nlohmann::json::array({"verbose"}), "verbose", false},
        {"ALL", "verbose", false},
    };
    bvtest::ScopedHome home;
    for (const auto& c : cases) {
        if (c.keys.is_null())
            bv::Preferences::standard().removeObjectForKey("DBGKeys");
        else
            bv::Preferences::standard().setObject("DBGKeys", c.keys);
        EXPECT_EQ(BVDebugOptions::checkDebugParam(c.option), c.expected)
            << c.keys.dump() << " " << c.option;
    }
}

}  // namespace
