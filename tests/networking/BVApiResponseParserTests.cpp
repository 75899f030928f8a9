#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "BVApi/Networking/BVApiRequest.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"

namespace {

using nlohmann::json;

class ResponseParserTest : public ::testing::Test {
  protected:
    void SetUp() override { BVLogging::setupWithPrefix("BV"); }
    bvtest::ScopedHome home_;
};

struct ParserCase {
    std::string name;
    std::optional<std::string> body;  // nothing: no body at all
    std::optional<json> expected;     // nothing: error -98
};

TEST_F(ResponseParserTest, TurnsBodiesIntoDictionariesOrMinus98) {
    const std::vector<ParserCase> cases = {
        {"absent", std::nullopt, std::nullopt},
        {"empty", "", json::object()},
        {"true", "true", json{{"response", "true"}}},
        {"true with a line feed is just JSON", "true\n", std::nullopt},
        {"array", R"([1,{"a":2}])", json::object()},
        {"object", R"({"status":"ok","n":[1,2]})", json{{"status", "ok"}, {"n", {1, 2}}}},
        {"html page", "<html><body>502 Bad Gateway</body></html>", std::nullopt},
        {"scalar number", "42", std::nullopt},
        {"scalar string", R"("ok")", std::nullopt},
        {"truncated object", R"({"a":)", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<bv::Data> data;
        if (c.body)
            data = bv::Data::fromString(*c.body);
        bv::Error error;
        auto result = BVApiRequest::apiResponseFrom(data ? &*data : nullptr, "ab12", &error);
        if (c.expected) {
            ASSERT_TRUE(result.has_value()) << error.description();
            EXPECT_EQ(*result, *c.expected);
            EXPECT_FALSE(error);
        } else {
            EXPECT_FALSE(result.has_value());
            EXPECT_EQ(error.domain(), bv::kBVErrorDomain);
            EXPECT_EQ(error.code(), -98);
            EXPECT_EQ(error.failureReason(), "Possible internal server error");
            // A body that was there but not usable carries the parser's error; an
            // absent one has nothing to carry.
            EXPECT_EQ(error.underlyingError() != nullptr, c.body.has_value());
            EXPECT_EQ(error.hasInfo("nil"), !c.body.has_value());
        }
    }
}

TEST_F(ResponseParserTest, AbsentBodyWrapsTheErrorAlreadyInTheSlot) {
    bv::Error error =
        bv::Error("CURLErrorDomain", 28, {{bv::kFailureReasonKey, std::string("timed out")}});
    EXPECT_FALSE(BVApiRequest::apiResponseFrom(nullptr, "ab12", &error));
    EXPECT_EQ(error.code(), -98);
    ASSERT_NE(error.underlyingError(), nullptr);
    EXPECT_EQ(error.underlyingError()->code(), 28);
    EXPECT_FALSE(error.hasInfo("nil"));
}

TEST_F(ResponseParserTest, LogsEachBranch) {
    auto html = bv::Data::fromString("<html>oops</html>");
    auto yes = bv::Data::fromString("true");
    BVApiRequest::apiResponseFrom(&html, "tag9", nullptr);
    BVApiRequest::apiResponseFrom(&yes, "tag9", nullptr);
    BVApiRequest::apiResponseFrom(nullptr, "tag9", nullptr);
    std::string log;
    for (const auto& entry :
         std::filesystem::directory_iterator(BVLogging::sharedInstance()->path())) {
        std::ifstream in(entry.path());
        log += std::string(std::istreambuf_iterator<char>(in), {});
    }
    for (const char* expected :
         {"........... #tag9 ERROR in response: <html>oops</html>\n",
          "BVApiRequest:apiResponseFrom response true\n", "BVApiRequest:apiResponseFrom data=nil\n",
          "BVApiRequest:apiResponseFrom dataBytesChars\n",
          "BVApiRequest:apiResponseFrom isKindOfClass\n"})
        EXPECT_NE(log.find(expected), std::string::npos) << expected;
}

}  // namespace
