#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "TempDir.h"
#include "platform/SecretStore.h"

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const fs::path& file, const std::string& text, mode_t mode = 0600) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    chmod(file.c_str(), mode);
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class SecretStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previousSink_ = bv::SecretStore::setDiagnosticSink(
            [this](const std::string& line) { diagnostics_.push_back(line); });
    }
    void TearDown() override { bv::SecretStore::setDiagnosticSink(previousSink_); }

    // A valid file holding one secret, written by the store itself.
    void seed() {
        ASSERT_TRUE(store_.save("BrimvaultSecureFolder", "ann", "kept"));
        diagnostics_.clear();
    }

    bvtest::ScopedHome home_;
    fs::path folder_ = home_.path() / ".local/share/Brimvault";
    fs::path file_ = folder_ / "secrets.json";
    bv::FileSecretStore store_;  // at its default place, below the temporary home
    std::vector<std::string> diagnostics_;
    bv::SecretStore::DiagnosticSink previousSink_;
};

TEST_F(SecretStoreTest, KeepsOneSecretPerServiceAndAccountInOwnerOnlyFiles) {
    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), std::nullopt);
    ASSERT_TRUE(store_.save("BrimvaultSecureFolder", "ann", "first"));
    ASSERT_TRUE(store_.save("BrimvaultSecureFolder", "ann", "second"));
    ASSERT_TRUE(store_.save("BrimvaultAutoLogin", "ann", "login"));
    ASSERT_TRUE(store_.save("BrimvaultSecureFolder", "bob", "his \"quoted\"\n"));

    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), "second");
    EXPECT_EQ(store_.find("BrimvaultAutoLogin", "ann"), "login");
    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "bob"), "his \"quoted\"\n");
    EXPECT_EQ(store_.find("BrimvaultAutoLogin", "bob"), std::nullopt);

    ASSERT_TRUE(store_.remove("BrimvaultSecureFolder", "ann"));
    EXPECT_TRUE(store_.remove("BrimvaultSecureFolder", "ann")) << "removing nothing succeeds";
    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), std::nullopt);
    EXPECT_EQ(store_.find("BrimvaultAutoLogin", "ann"), "login");

    // Another store on the same folder (another process) sees the same secrets.
    EXPECT_EQ(bv::FileSecretStore(folder_).find("BrimvaultSecureFolder", "bob"),
              "his \"quoted\"\n");

    EXPECT_EQ(modeOf(folder_), 0700u);
    EXPECT_EQ(modeOf(file_), 0600u);
    for (const auto& entry : fs::directory_iterator(folder_))
        EXPECT_EQ(entry.path().filename(), "secrets.json") << "temporary file left behind";
    EXPECT_TRUE(diagnostics_.empty());
}

// A password typed in a Latin-1 terminal is not UTF-8, which a JSON string cannot hold.
TEST_F(SecretStoreTest, SecretsAreBytesAndTextEntriesStayAsTheyWere) {
    using namespace std::string_literals;
    fs::create_directories(folder_);
    chmod(folder_.c_str(), 0700);
    writeAll(file_, R"({"BrimvaultAutoLogin":{"ann":"caf\u00e9 text"}})");
    const std::vector<std::string> secrets = {
        "caf\xe9"s, "\xff\xfe\x80"s, "nul\0inside"s, "caf\xc3\xa9"s, ""s, "\xc3"s};
    for (const auto& secret : secrets) {
        SCOPED_TRACE(::testing::PrintToString(secret));
        bv::Error error;
        ASSERT_TRUE(store_.save("BrimvaultSecureFolder", "ann", secret, &error))
            << error.description();
        EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), secret);
        EXPECT_EQ(bv::FileSecretStore(folder_).find("BrimvaultSecureFolder", "ann"), secret);
        EXPECT_EQ(store_.find("BrimvaultAutoLogin", "ann"), "caf\xc3\xa9 text");
    }
    // Text entries stay strings, readable by every earlier version of the store.
    auto saved = nlohmann::json::parse(readAll(file_));
    EXPECT_TRUE(saved["BrimvaultAutoLogin"]["ann"].is_string()) << saved;
    EXPECT_EQ(saved["BrimvaultSecureFolder"]["ann"], (nlohmann::json{{"base64", "ww=="}}));

    // Names are keys of the file and must be text; nothing is written for them.
    const std::string before = readAll(file_);
    bv::Error error;
    EXPECT_FALSE(store_.save("BrimvaultSecureFolder", "\xe9ve", "x", &error));
    EXPECT_EQ(error.code(), EINVAL);
    EXPECT_NE(error.failureReason().find("UTF-8"), std::string::npos);
    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "\xe9ve"), std::nullopt);
    EXPECT_EQ(readAll(file_), before);
    for (const auto& entry : fs::directory_iterator(folder_))
        EXPECT_EQ(entry.path().filename(), "secrets.json") << "temporary file left behind";
    EXPECT_TRUE(diagnostics_.empty());
}

TEST_F(SecretStoreTest, AFolderOthersMayWriteToIsNotReadButMadePrivateByTheNextSave) {
    seed();
    chmod(folder_.c_str(), 0777);
    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), std::nullopt);
    ASSERT_EQ(diagnostics_.size(), 1u);
    EXPECT_NE(diagnostics_.front().find("writable by other users"), std::string::npos);
    ASSERT_TRUE(store_.save("s", "a", "x"));
    EXPECT_EQ(modeOf(folder_), 0700u);
    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), "kept");
}

TEST_F(SecretStoreTest, ConcurrentWritersFromSeveralStoresLoseNothing) {
    // Two store objects stand for two processes: only the folder lock keeps them apart.
    bv::FileSecretStore other(folder_);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            bv::SecretStore& store = t % 2 ? static_cast<bv::SecretStore&>(other) : store_;
            for (int i = 0; i < 10; ++i)
                store.save("s", "user" + std::to_string(t) + "-" + std::to_string(i), "v");
        });
    }
    for (auto& writer : writers)
        writer.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(store_.find("s", "user" + std::to_string(t) + "-" + std::to_string(i)), "v");
    for (const auto& entry : fs::directory_iterator(folder_))
        EXPECT_EQ(entry.path().filename(), "secrets.json");
}

// Files the store must neither read nor write through: each case plants one, then checks
// that find answers nothing, save fails, the planted thing is untouched and the log says why.
struct RefusedCase {
    const char* name;
    std::function<void(const fs::path& file, const fs::path& home)> plant;
    const char* reason;
};

class RefusedFileTest : public SecretStoreTest,
                        public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedFileTest, IsNeitherReadNorReplaced) {
    seed();
    const RefusedCase& c = GetParam();
    c.plant(file_, home_.path());
    struct stat before {};
    ASSERT_EQ(lstat(file_.c_str(), &before), 0);
    const std::string target = readAll(home_.path() / "target");

    EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), std::nullopt);
    bv::Error error;
    EXPECT_FALSE(store_.save("BrimvaultSecureFolder", "ann", "new", &error));
    EXPECT_TRUE(error.isSet());
    EXPECT_FALSE(store_.remove("BrimvaultSecureFolder", "ann"));

    struct stat after {};
    ASSERT_EQ(lstat(file_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(readAll(home_.path() / "target"), target) << "written through a link";
    ASSERT_FALSE(diagnostics_.empty());
    EXPECT_NE(diagnostics_.front().find(c.reason), std::string::npos) << diagnostics_.front();
}

INSTANTIATE_TEST_SUITE_P(
    SecretStore, RefusedFileTest,
    ::testing::Values(
        RefusedCase{"SymbolicLinkToAValidFile",
                    [](const fs::path& file, const fs::path& home) {
                        fs::rename(file, home / "target");
                        fs::create_symlink(home / "target", file);
                    },
                    "symbolic link"},
        RefusedCase{"ReadableByOthers",
                    [](const fs::path& file, const fs::path&) { chmod(file.c_str(), 0644); },
                    "accessible by other users"},
        RefusedCase{"WritableByGroup",
                    [](const fs::path& file, const fs::path&) { chmod(file.c_str(), 0620); },
                    "accessible by other users"},
        RefusedCase{"ADirectory",
                    [](const fs::path& file, const fs::path&) {
                        fs::remove(file);
                        fs::create_directory(file);
                        chmod(file.c_str(), 0700);
                    },
                    "not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SecretStoreTest, AFolderThatIsASymbolicLinkIsRefused) {
    fs::create_directories(home_.path() / "elsewhere");
    chmod((home_.path() / "elsewhere").c_str(), 0700);
    fs::create_directories(folder_.parent_path());
    fs::create_directory_symlink(home_.path() / "elsewhere", folder_);
    EXPECT_FALSE(store_.save("s", "a", "x"));
    EXPECT_FALSE(fs::exists(home_.path() / "elsewhere" / "secrets.json"));
    EXPECT_EQ(store_.find("s", "a"), std::nullopt);
}

TEST_F(SecretStoreTest, ADamagedFileReadsAsEmptyAndIsMovedAsideAtTheNextChange) {
    const std::vector<std::string> damaged = {
        "{\"BrimvaultSecureFolder\": {\"ann\": \"tru",  // cut short
        "[1, 2, 3]",                                    // not an object
        "{\"BrimvaultSecureFolder\": {\"ann\": 7}}",    // a secret that is not a text
        std::string("\0\xff\xfe garbage", 12),
    };
    for (const auto& text : damaged) {
        SCOPED_TRACE(text);
        fs::create_directories(folder_);
        writeAll(file_, text);
        diagnostics_.clear();

        EXPECT_EQ(store_.find("BrimvaultSecureFolder", "ann"), std::nullopt);
        EXPECT_EQ(readAll(file_), text) << "reading changed the file";

        ASSERT_TRUE(store_.save("BrimvaultSecureFolder", "bob", "new"));
        EXPECT_EQ(store_.find("BrimvaultSecureFolder", "bob"), "new");
        EXPECT_EQ(readAll(folder_ / "secrets.json.damaged"), text);
        EXPECT_EQ(modeOf(folder_ / "secrets.json.damaged"), 0600u);
        ASSERT_GE(diagnostics_.size(), 2u);
        EXPECT_NE(diagnostics_.back().find("moved aside"), std::string::npos);
        fs::remove_all(folder_);
    }
}

TEST_F(SecretStoreTest, CurrentStoreCanBeReplacedAndRestored) {
    auto mine = std::make_shared<bv::FileSecretStore>(home_.path() / "mine");
    auto previous = bv::SecretStore::setCurrent(mine);
    EXPECT_EQ(bv::SecretStore::current(), mine);
    bv::SecretStore::setCurrent(nullptr);
    auto fallback = bv::SecretStore::current();
    ASSERT_NE(fallback, nullptr);
    EXPECT_NE(fallback, mine);
    ASSERT_TRUE(fallback->save("s", "a", "x"));
    EXPECT_EQ(readAll(file_).find("\"x\"") != std::string::npos, true)
        << "the default store lives in the data folder";
    bv::SecretStore::setCurrent(previous);
}

}  // namespace
