#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "FakeTaskParts.h"
#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncRunEnvironment.h"
#include "ReferenceServer.h"
#include "TempDir.h"

namespace khtest {

// One reference service per test suite with the account "sam" (password "pw-sam"), in a
// temporary home.
class SamAccountSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static inline bvtest::ScopedHome* home_ = nullptr;
    static inline bvtest::ReferenceServer* server_ = nullptr;
};

// A local temporary folder and a folder of an account on the reference service, tied by one
// task: change either side, run the task once, compare both trees and the snapshot.
// Relative paths use "/" and no leading slash. Trees map each path to its content, folders
// to "<dir>", links to "-> target".
class SyncFolderPair {
  public:
    using Tree = std::map<std::string, std::string>;
    static constexpr const char* kDrive = "MyDrive";

    // cloudFolder: below the account's root, created empty. The local folder is created
    // empty too unless createLocal is false.
    SyncFolderPair(const bvtest::ReferenceServer& server, const std::string& user,
                   const std::string& password, const std::string& cloudFolder,
                   const std::string& taskType, bool localToCloud = true);
    ~SyncFolderPair();

    // Runs the task once on this thread; answers its final status.
    int64_t run();

    void writeLocal(const std::string& path, const std::string& content, int64_t mtime);
    void linkLocal(const std::string& path, const std::string& target);
    void makeLocalFolder(const std::string& path);
    void removeLocal(const std::string& path);
    void writeCloud(const std::string& path, const std::string& content, int64_t mtime);
    void makeCloudFolder(const std::string& path);
    void removeCloud(const std::string& path);

    Tree localTree() const;
    Tree cloudTree();
    // Paths of the snapshot's cloud and local rows, relative to the task's roots.
    Tree snapshot(bool local);
    // Original paths of what the trash holds, and the trashed contents by original path.
    Tree trash() const;
    bool logHas(const std::string& part) const;
    std::string logText() const;

    std::filesystem::path localRoot() const { return localRoot_; }
    std::string cloudRoot() const { return "/" + cloudFolder_; }
    std::shared_ptr<SyncBackupTask> task() { return task_; }
    std::shared_ptr<bv::ManualClock> clock() { return clock_; }
    std::shared_ptr<BrimvaultApiClient> api() { return api_; }
    SyncRunEnvironment environment() const { return environment_; }
    std::shared_ptr<FakeLog> log() { return log_; }
    const std::string& session() const { return session_; }
    // Sets the password of the account's "Secure Files" (initialise: give the folder that
    // password first) that runs use to open it; their encryption hooks use its key.
    void setSecurePassword(const std::string& password, bool initialise);
    // The id of a cloud item by its relative path (folders and files); empty when missing.
    std::string cloudID(const std::string& path);
    // The files in the account's trash: size by id.
    std::map<std::string, int64_t> cloudTrash();

  private:
    class Parts;
    struct SecureState;
    void cloudTreeOf(const std::string& id, const std::string& prefix, Tree* tree);
    std::string cloudParentOf(const std::string& path, std::string* leaf);

    const bvtest::ReferenceServer& server_;
    bvtest::TempDir local_;
    std::filesystem::path localRoot_;
    std::filesystem::path trashRoot_;
    std::string cloudFolder_;
    std::unique_ptr<BVApiClient> service_;
    std::shared_ptr<BrimvaultApiClient> api_;
    std::string session_;
    std::shared_ptr<bv::ManualClock> clock_;
    std::shared_ptr<FakeLog> log_;
    std::shared_ptr<SecureState> secure_;
    SyncRunEnvironment environment_;
    std::shared_ptr<SyncBackupTaskContext> context_;
    ManualMainThread mainThread_;
    std::shared_ptr<SyncBackupTask> task_;
};

}  // namespace khtest
