#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestBytes.h"
#include "WebCallExec/BVDataEncryption.h"
#include "crypto/cryptography.h"
#include "crypto/encrypted_folder.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int status = -1;
    std::string err;
};

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class CryptoTool : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(dir_ / "pw", "hunter2\n");
        writeFile(dir_ / "wrong", "hunter3");
        plain_ = cryptotest::someBytes(5000).toString();
        writeFile(dir_ / "plain", plain_);
    }

    RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), BV_CRYPT_TOOL);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string errPath =
            (dir_.path().parent_path() / (dir_.path().filename().string() + ".err"));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = 0;
        RunResult result;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        result.err = readFile(errPath);
        fs::remove(errPath);
        return result;
    }

    std::string path(const char* name) const { return (dir_ / name).string(); }

    // The folder holds exactly these names: no temporary file is ever left behind.
    void expectFolderHolds(std::vector<std::string> names) const {
        std::vector<std::string> present;
        for (const auto& entry : fs::directory_iterator(dir_.path()))
            present.push_back(entry.path().filename());
        std::sort(present.begin(), present.end());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(present, names);
    }

    bvtest::TempDir dir_{"crypto-tool"};
    std::string plain_;
};

}  // namespace

TEST_F(CryptoTool, RoundTripMatchesTheLibrary) {
    ASSERT_EQ(run({"encrypt", "--password-file", path("pw"), path("plain"), path("enc")}).status,
              0);
    const std::string enc = readFile(path("enc"));
    EXPECT_EQ(enc.size(), bv_crypt::cryptography::calculate_encrypted_size(plain_.size(), 256));
    EXPECT_EQ((fs::status(path("enc")).permissions() & fs::perms::group_all), fs::perms::none);

    // The line break ends the password file; it is not part of the password.
    bv::Data key;
    key.resize(32);
    bv_crypt::cryptography::create_key("hunter2", key.mutableBytes(), 32);
    bv::Data buffer = bv::Data::fromString(enc);
    auto plain = decryptWithKey(buffer, key);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->toString(), plain_);

    ASSERT_EQ(run({"decrypt", "--password-file", path("pw"), path("enc"), path("dec")}).status, 0);
    EXPECT_EQ(readFile(path("dec")), plain_);

    writeFile(path("empty"), "");
    ASSERT_EQ(
        run({"encrypt", "--password-file", path("pw"), path("empty"), path("empty.enc")}).status,
        0);
    EXPECT_EQ(readFile(path("empty.enc")), "");
    expectFolderHolds({"pw", "wrong", "plain", "enc", "dec", "empty", "empty.enc"});
}

TEST_F(CryptoTool, FailuresLeaveNoOutput) {
    ASSERT_EQ(run({"encrypt", "--password-file", path("pw"), path("plain"), path("enc")}).status,
              0);
    const std::string enc = readFile(path("enc"));
    writeFile(path("cut"), enc.substr(0, enc.size() - 100));
    std::string damaged = enc;
    damaged[1082 * 2 + 30] ^= 1;
    writeFile(path("damaged"), damaged);

    struct Case {
        const char* name;
        const char* password;
        const char* input;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"wrong password", "wrong", "enc", 2, "wrong password"},
        {"cut short", "pw", "cut", 1, "cut short"},
        {"damaged third record", "pw", "damaged", 1, "damaged record after record 2"},
        {"missing input", "pw", "nothing-here", 1, "cannot open"},
    };
    for (const auto& c : cases) {
        RunResult r =
            run({"decrypt", "--password-file", path(c.password), path(c.input), path("out")});
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_FALSE(fs::exists(path("out"))) << c.name;
    }
    // An existing output survives a failed run untouched.
    writeFile(path("out"), "keep me");
    EXPECT_EQ(run({"decrypt", "--password-file", path("wrong"), path("enc"), path("out")}).status,
              2);
    EXPECT_EQ(readFile(path("out")), "keep me");
    expectFolderHolds({"pw", "wrong", "plain", "enc", "cut", "damaged", "out"});
}

TEST_F(CryptoTool, VerifyTellsWhetherThePasswordOpensTheVerifier) {
    std::string hash, data;
    ASSERT_EQ(set_password("hunter2", &hash, &data), 1);
    writeFile(path("data"), data + "\n");
    EXPECT_EQ(run({"verify", "--password-file", path("pw"), "--data", data}).status, 0);
    EXPECT_EQ(run({"verify", "--password-file", path("pw"), "--data-file", path("data")}).status,
              0);
    RunResult wrong = run({"verify", "--password-file", path("wrong"), "--data", data});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;
    EXPECT_EQ(run({"verify", "--password-file", path("pw"), "--data", "xyz"}).status, 1);
    EXPECT_NE(run({"verify", "--password-file", path("pw")}).status, 0)
        << "the data text is required";
}
