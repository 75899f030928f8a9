#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include <string>
#include <vector>

#include "BVApi/Networking/BVApiParameterEncoder.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "platform/Preferences.h"

namespace {

using nlohmann::json;

const std::string kBase = "https://example.test/api/v1/";
const std::string kBoundary = "------WebKitFormBoundaryf8AVk0gFLWQNUVjP";

class EncodingTest : public ::testing::Test {
  protected:
    void SetUp() override { BVLogging::setupWithPrefix("BV"); }
    bvtest::ScopedHome home_;
};

json bytes(std::string text) {
    return json::binary(std::vector<uint8_t>(text.begin(), text.end()));
}

std::string field(const std::string& name, const std::string& value) {
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n" + value;
}

std::string filePart(const std::string& name, const std::string& content) {
    return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"; filename=\"" + name + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
           content;
}

struct EncodingCase {
    std::string name;
    std::string method;
    BVApiRequest::Arguments arguments;
    json parameters;
    std::optional<int64_t> parametersType;  // set by the caller, as chunk uploads do
    std::string url;
    std::string contentType;  // empty: no header
    std::optional<std::string> body;
};

TEST_F(EncodingTest, BuildsByteExactRequests) {
    const std::string chunkParams = "offset=0&upload_id=u%201";
    const json chunk = {
        {"upload_id", "u 1"}, {"offset", 0}, {"file_data", bytes(std::string("A\0\xff", 3))}};
    const std::string multipart = filePart("file_data", std::string("A\0\xff", 3)) +
                                  field("offset", "0") + field("upload_id", "u 1") + "\r\n--" +
                                  kBoundary + "--\r\n";
    const std::vector<EncodingCase> cases = {
        {"get without parameters still ends in ?",
         "GET",
         {},
         nullptr,
         {},
         kBase + "folder/list.json/?",
         "",
         std::nullopt},
        {"get with arguments and parameters",
         "GET",
         {"a b/c", 7},
         {{"path", "/x y&z"}, {"n", 5}, {"flag", true}, {"name", "\xC3\xA9"}},
         {},
         kBase + "folder/list.json/a%20b%2Fc/7?flag=1&n=5&name=%C3%A9&path=%2Fx%20y%26z",
         "",
         std::nullopt},
        {"delete uses the query",
         "DELETE",
         {},
         {{"id", "12"}},
         {},
         kBase + "folder/list.json/?id=12",
         "",
         std::nullopt},
        {"post without parameters has no body",
         "POST",
         {},
         nullptr,
         {},
         kBase + "folder/list.json/",
         "",
         std::nullopt},
        {"post with parameters is compact json",
         "PUT",
         {"x"},
         {{"b", {1, 2}}, {"a", "\xC3\xA9"}, {"c", nullptr}},
         {},
         kBase + "folder/list.json/x",
         "application/json",
         R"({"a":"é","b":[1,2],"c":null})"},
        {"chunk upload leaves file_data out of the query",
         "POST",
         {},
         chunk,
         BVApiRequest::kParametersQueryAndMultipart,
         kBase + "folder/list.json/?" + chunkParams,
         "multipart/form-data; boundary=" + kBoundary,
         multipart},
        {"multipart only",
         "POST",
         {},
         chunk,
         BVApiRequest::kParametersMultipart,
         kBase + "folder/list.json/",
         "multipart/form-data; boundary=" + kBoundary,
         multipart},
        {"multipart without parameters is just the closing line",
         "POST",
         {},
         nullptr,
         BVApiRequest::kParametersMultipart,
         kBase + "folder/list.json/",
         "multipart/form-data; boundary=" + kBoundary,
         "\r\n--" + kBoundary + "--\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto request = BVApiRequest::requestWithMethod(c.method, "folder/list.json", c.arguments,
                                                       c.parameters);
        request->configuration().setRequestHost(kBase);
        if (c.parametersType)
            request->setParametersType(*c.parametersType);
        bv::Error error;
        const BVUrlRequest* built = request->urlRequest(&error);
        ASSERT_NE(built, nullptr) << error.description();
        EXPECT_EQ(built->url, c.url);
        EXPECT_EQ(built->method, c.method);
        EXPECT_EQ(built->headerValue("Content-Type"), c.contentType);
        ASSERT_EQ(built->body != nullptr, c.body.has_value());
        if (c.body) {
            EXPECT_EQ(built->body->toString(), *c.body);
        }
        EXPECT_EQ(request->urlRequest(nullptr), built) << "built once, then reused";
    }
}

// Everything the stream gives, read in pieces of `step` bytes.
std::string drain(bv::InputStream& stream, size_t step) {
    std::string out;
    std::vector<uint8_t> piece(step);
    for (int64_t n; (n = stream.read(piece.data(), piece.size())) > 0;)
        out.append(reinterpret_cast<const char*>(piece.data()), size_t(n));
    return out;
}

TEST_F(EncodingTest, SharedChunkBytesAreStreamedAsTheSameMultipartBody) {
    const std::string content("A\0\xff chunk", 9);
    const json chunk = {{"upload_id", "u 1"}, {"offset", 0}};
    auto request = BVApiRequest::requestWithMethod("POST", "folder/list.json", {}, json(chunk));
    request->configuration().setRequestHost(kBase);
    request->setParametersType(BVApiRequest::kParametersQueryAndMultipart);
    auto shared = std::make_shared<const bv::Data>(bv::Data::fromString(content));
    request->setSharedBinaryParameter("file_data", shared);
    const BVUrlRequest* built = request->urlRequest(nullptr);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(built->url, kBase + "folder/list.json/?offset=0&upload_id=u%201");
    EXPECT_EQ(built->headerValue("Content-Type"), "multipart/form-data; boundary=" + kBoundary);
    EXPECT_EQ(built->body, nullptr);
    ASSERT_NE(built->stream, nullptr);
    json copied = chunk;
    copied["file_data"] = bytes(content);
    const std::string expected = BVApiParameterEncoder::multipartBody(copied).toString();
    EXPECT_EQ(built->stream->length(), int64_t(expected.size()));
    // Pieces that end inside the boundary text and inside the shared bytes.
    EXPECT_EQ(drain(*built->stream, 7), expected);
    ASSERT_TRUE(built->stream->rewind());
    EXPECT_EQ(drain(*built->stream, 4096), expected) << "a second send starts from the first byte";
    EXPECT_NE(request->summary().parameters.find("file_data = \"NSData of 9\""), std::string::npos)
        << request->summary().parameters;
}

TEST_F(EncodingTest, PercentEncodingKeepsOnlyUnreservedCharacters) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"AZaz09-._~", "AZaz09-._~"},
        {"!*'();:@&=+$,/?%#[]", "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D"},
        {"a b\"<>\\^`{|}", "a%20b%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"\xC3\xA9\xE2\x82\xAC", "%C3%A9%E2%82%AC"},
        {std::string("\0\n", 2), "%00%0A"},
    };
    for (const auto& [text, encoded] : cases)
        EXPECT_EQ(BVApiParameterEncoder::percentEncode(text), encoded) << text;
}

TEST_F(EncodingTest, StreamBodyWhenNoParameters) {
    auto stream = std::make_shared<bv::MemoryInputStream>(bv::Data::fromString("abc"));
    auto streamed = BVApiRequest::requestWithMethod("PUT", "upload", stream);
    EXPECT_EQ(streamed->parametersType(), BVApiRequest::kParametersStream);
    streamed->configuration().setRequestHost(kBase);
    const BVUrlRequest* built = streamed->urlRequest(nullptr);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(built->url, kBase + "upload/");
    EXPECT_EQ(built->stream, stream);
    EXPECT_EQ(built->body, nullptr);

    auto withParameters = BVApiRequest::requestWithMethod("PUT", "upload", {}, json{{"a", 1}});
    EXPECT_EQ(withParameters->parametersType(), BVApiRequest::kParametersJSON);
}

TEST_F(EncodingTest, ValuesWithoutJsonFormFailWithMinus97) {
    const std::vector<std::pair<std::string, json>> cases = {
        {"byte buffer", {{"data", bytes("xyz")}}},
        {"nested byte buffer", {{"list", {1, bytes("x")}}}},
        {"not a number", {{"n", std::nan("")}}},
        {"infinity", {{"n", {{"deep", -INFINITY}}}}},
        {"invalid utf-8", {{"name", "\xff\xfe"}}},
    };
    for (const auto& [name, parameters] : cases) {
        SCOPED_TRACE(name);
        auto request = BVApiRequest::requestWithMethod("POST", "item/update.json", parameters);
        bv::Error error;
        EXPECT_EQ(request->urlRequest(&error), nullptr);
        EXPECT_EQ(error.domain(), bv::kBVErrorDomain);
        EXPECT_EQ(error.code(), -97);
        ASSERT_NE(error.underlyingError(), nullptr);
        EXPECT_EQ(error.underlyingError()->domain(), BVApiParameterEncoder::kJSONErrorDomain);
    }
}

TEST_F(EncodingTest, ConfigurationFromEnvironmentThenPreferencesThenDefault) {
    unsetenv(BVApiRequestConfiguration::kApiBaseURLEnvironment);
    EXPECT_EQ(BVApiRequestConfiguration::defaultConfiguration().requestHost(),
              BVApiRequestConfiguration::kDefaultApiBaseURL);
    bv::Preferences::standard().setObject("apiBaseURL", "https://prefs.test/api/v1");
    bv::Preferences::standard().setObject("caFile", "/etc/prefs.pem");
    auto fromPreferences = BVApiRequestConfiguration::defaultConfiguration();
    EXPECT_EQ(fromPreferences.requestHost(), "https://prefs.test/api/v1/");
    EXPECT_EQ(fromPreferences.caFile(), "/etc/prefs.pem");
    EXPECT_EQ(fromPreferences.numberOfRetries, 3u);
    setenv(BVApiRequestConfiguration::kApiBaseURLEnvironment, "https://env.test/api/v1/", 1);
    setenv(BVApiRequestConfiguration::kCAFileEnvironment, "/etc/env.pem", 1);
    auto fromEnvironment = BVApiRequestConfiguration::defaultConfiguration();
    EXPECT_EQ(fromEnvironment.requestHost(), "https://env.test/api/v1/");
    EXPECT_EQ(fromEnvironment.caFile(), "/etc/env.pem");
    unsetenv(BVApiRequestConfiguration::kApiBaseURLEnvironment);
    unsetenv(BVApiRequestConfiguration::kCAFileEnvironment);
    bv::Preferences::standard().removeObjectForKey("apiBaseURL");
    bv::Preferences::standard().removeObjectForKey("caFile");
}

}  // namespace
