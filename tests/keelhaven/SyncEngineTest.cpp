// Whole runs of sync and backup tasks between a local folder and the reference service.
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "Keelhaven/SyncBackTaskExecutor/SyncBackTaskExecutor.h"
#include "SyncFolderPair.h"
#include "app/Logging/BVLogging.h"

namespace khtest {
namespace {

using json = nlohmann::json;
using Tree = SyncFolderPair::Tree;
namespace fs = std::filesystem;

constexpr int64_t kT0 = 1'600'000'000;

class SyncEngineTest : public SamAccountSuite {
  protected:
    void TearDown() override { server_->clearFaults(); }

    std::unique_ptr<SyncFolderPair> pair(const std::string& type, bool localToCloud = true,
                                         std::string folder = "") {
        if (folder.empty())
            folder = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        return std::make_unique<SyncFolderPair>(*server_, "sam", "pw-sam", folder, type,
                                                localToCloud);
    }
};

TEST_F(SyncEngineTest, BackupCopiesTheTreeThenOnlyWhatChanged) {
    auto p = pair(SyncBackupTask::kBackup);
    p->writeLocal("a.txt", "alpha", kT0);
    p->writeLocal("sub/b.txt", "beta", kT0);
    p->writeLocal("sub/deep/c.txt", "gamma", kT0);
    p->writeLocal("empty.txt", "", kT0);
    p->linkLocal("sub/link", "../a.txt");
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->cloudTree(), p->localTree());
    EXPECT_EQ(p->snapshot(true), p->snapshot(false));
    EXPECT_EQ(p->snapshot(true).at("sub/deep/c.txt"), std::to_string(kT0));

    p->log()->lines.clear();
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_FALSE(p->logHas("uploaded to BV")) << p->logText();
    EXPECT_EQ(p->task()->itemsProcessed(), 0);

    const std::string changedID = p->cloudID("sub/b.txt");
    p->writeLocal("sub/b.txt", "beta 2", kT0 + 60);
    p->removeLocal("a.txt");
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    Tree cloud = p->cloudTree();
    EXPECT_EQ(cloud.at("sub/b.txt"), "beta 2");
    EXPECT_EQ(p->cloudID("sub/b.txt"), changedID);  // a new version of the same file
    // A backup keeps at the service what went away at the source.
    EXPECT_EQ(cloud.at("a.txt"), "alpha");
}

TEST_F(SyncEngineTest, BackupUploadsAgainWhatWasDeletedAtTheService) {
    auto p = pair(SyncBackupTask::kBackup);
    p->writeLocal("keep.txt", "keep", kT0);
    p->writeLocal("sub/x.txt", "x", kT0);
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    p->removeCloud("keep.txt");
    p->removeCloud("sub/x.txt");
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->cloudTree(), p->localTree());
}

// Every row of the decision table in one run: the state after a first sync, then one
// change per file on either side or both.
TEST_F(SyncEngineTest, DecisionTable) {
    auto p = pair(SyncBackupTask::kSynchronization);
    for (const char* name :
         {"local-newer", "cloud-newer", "local-deleted", "cloud-deleted", "deleted-vs-changed",
          "both-local-wins", "both-cloud-wins", "both-same-second", "unchanged"})
        p->writeLocal(name, std::string("v1 ") + name, kT0);
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    ASSERT_EQ(p->cloudTree(), p->localTree());

    p->writeLocal("local-newer", "v2", kT0 + 100);
    p->writeCloud("cloud-newer", "v2", kT0 + 100);
    p->removeLocal("local-deleted");
    p->removeCloud("cloud-deleted");
    p->removeLocal("deleted-vs-changed");
    p->writeCloud("deleted-vs-changed", "v2", kT0 + 100);
    p->writeLocal("both-local-wins", "v2 local", kT0 + 200);
    p->writeCloud("both-local-wins", "v2 cloud", kT0 + 100);
    p->writeLocal("both-cloud-wins", "v2 local", kT0 + 100);
    p->writeCloud("both-cloud-wins", "v2 cloud", kT0 + 200);
    p->writeLocal("both-same-second", "v2 local", kT0 + 100);
    p->writeCloud("both-same-second", "v2 cloud", kT0 + 100);
    p->writeLocal("new-both-sides", "same", kT0 + 5);
    p->writeCloud("new-both-sides", "same", kT0 + 5);
    p->writeCloud("new-cloud", "fresh", kT0 + 5);
    p->writeLocal("new-local", "fresh", kT0 + 5);
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();

    Tree local = p->localTree();
    Tree cloud = p->cloudTree();
    Tree expected = {
        {"local-newer", "v2"},           {"cloud-newer", "v2"},
        {"both-local-wins", "v2 local"}, {"both-cloud-wins", "v2 cloud"},
        {"new-both-sides", "same"},      {"new-cloud", "fresh"},
        {"new-local", "fresh"},          {"unchanged", "v1 unchanged"},
    };
    // Equal seconds: taken as identical, nothing moves.
    EXPECT_EQ(local.at("both-same-second"), "v2 local");
    EXPECT_EQ(cloud.at("both-same-second"), "v2 cloud");
    local.erase("both-same-second");
    cloud.erase("both-same-second");
    EXPECT_EQ(local, expected);
    // A deletion beats a change on the other side.
    EXPECT_EQ(cloud, expected);

    // What the run removed or replaced locally is in the Trash, and the losers are named.
    Tree trash = p->trash();
    EXPECT_EQ(trash.at("cloud-deleted"), "v1 cloud-deleted");
    EXPECT_EQ(trash.at("both-cloud-wins"), "v2 local");
    EXPECT_EQ(trash.at("cloud-newer"), "v1 cloud-newer");
    EXPECT_TRUE(p->logHas("Conflict: " + (p->localRoot() / "both-cloud-wins").string()))
        << p->logText();
    EXPECT_TRUE(p->logHas("Conflict: " + p->cloudRoot() + "/both-local-wins")) << p->logText();
    EXPECT_EQ(p->snapshot(true), p->snapshot(false));
}

TEST_F(SyncEngineTest, NamesThatDifferOnlyInCaseAreReported) {
    auto p = pair(SyncBackupTask::kBackup);
    p->writeLocal("Report.txt", "upper", kT0);
    p->writeLocal("report.txt", "lower", kT0);
    EXPECT_EQ(p->run(), SyncBackupTask::kFailed);
    Tree cloud = p->cloudTree();
    ASSERT_EQ(cloud.size(), 1u);
    EXPECT_EQ(cloud.begin()->second, "upper");
    std::string root = p->localRoot().string();
    EXPECT_TRUE(p->logHas(root + "/Report.txt and " + root + "/report.txt differ only in case"))
        << p->logText();
    // Both local files stay.
    EXPECT_EQ(p->localTree().size(), 2u);
}

TEST_F(SyncEngineTest, AFolderAgainstAFileOfTheSameNameIsLeftAlone) {
    auto p = pair(SyncBackupTask::kSynchronization);
    p->writeLocal("clash/inside.txt", "local", kT0);
    p->writeCloud("clash", "a file", kT0);
    EXPECT_EQ(p->run(), SyncBackupTask::kFailed);
    EXPECT_EQ(p->cloudTree(), (Tree{{"clash", "a file"}}));
    EXPECT_EQ(p->localTree().at("clash/inside.txt"), "local");
    EXPECT_TRUE(p->logHas("a folder on one side and a file on the other")) << p->logText();
}

TEST_F(SyncEngineTest, ExcludeFilter) {
    auto p = pair(SyncBackupTask::kBackup);
    p->task()->setFilterType("Exclude");
    p->task()->setExcludeFilter(
        {{"TempFiles", true}, {"HiddenFiles", true}, {"Custom", "build .avi"}});
    p->writeLocal("keep.txt", "k", kT0);
    p->writeLocal(".profile", "hidden", kT0);
    p->writeLocal(".DS_Store", "x", kT0);
    p->writeLocal("clip.avi", "movie", kT0);
    p->writeLocal("draft.tmp", "t", kT0);
    p->writeLocal("build/out.o", "obj", kT0);
    p->linkLocal("link", "keep.txt");
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->cloudTree(), (Tree{{"keep.txt", "k"}}));
}

TEST_F(SyncEngineTest, IncludeFilter) {
    auto p = pair(SyncBackupTask::kBackup);
    p->task()->setFilterType("Include");
    p->task()->setIncludeFilter({{"Images", true}, {"Custom", ".txt"}});
    p->writeLocal("photo.jpg", "img", kT0);
    p->writeLocal("notes.txt", "n", kT0);
    p->writeLocal("song.mp3", "m", kT0);
    p->writeLocal("album/cover.png", "c", kT0);
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->cloudTree(), (Tree{{"photo.jpg", "img"},
                                    {"notes.txt", "n"},
                                    {"album", "<dir>"},
                                    {"album/cover.png", "c"}}));
}

TEST_F(SyncEngineTest, MissingCloudSourceFailsAndMissingDestinationIsCreated) {
    auto missing = pair(SyncBackupTask::kBackup, /*localToCloud=*/false);
    missing->task()->setFromPath(std::string("/") + SyncFolderPair::kDrive + "/no/such/folder");
    EXPECT_EQ(missing->run(), SyncBackupTask::kFailed) << missing->logText();
    EXPECT_TRUE(missing->logHas("/no/such/folder path does not exists.")) << missing->logText();

    auto created = pair(SyncBackupTask::kBackup);
    created->task()->setToPath(std::string("/") + SyncFolderPair::kDrive + created->cloudRoot() +
                               "/NewBackupTarget");
    created->writeLocal("a.txt", "a", kT0);
    ASSERT_EQ(created->run(), SyncBackupTask::kSucceeded) << created->logText();
    EXPECT_FALSE(created->cloudID("NewBackupTarget/a.txt").empty()) << created->logText();
}

TEST_F(SyncEngineTest, CloudToLocalNeverWritesOutsideTheLocalRoot) {
    auto p = pair(SyncBackupTask::kSynchronization, /*localToCloud=*/false);
    bvtest::TempDir outside("khoutside");
    p->writeCloud("sub/file.txt", "one", kT0);
    p->writeCloud("etc-link", std::string("HiKZ188KSR2E") + "/etc", kT0);
    p->writeCloud("inner-link", std::string("HiKZ188KSR2E") + "sub/file.txt", kT0);
    EXPECT_EQ(p->run(), SyncBackupTask::kFailed) << p->logText();  // the link to /etc is refused
    Tree local = p->localTree();
    ASSERT_EQ(local.count("inner-link"), 1u) << p->logText();
    EXPECT_EQ(local.count("etc-link"), 0u);
    EXPECT_EQ(local.at("inner-link"), "-> sub/file.txt");
    EXPECT_EQ(local.at("sub/file.txt"), "one");

    // A link put in place of a synced folder does not redirect the next download.
    p->removeLocal("sub");
    fs::create_directory_symlink(outside.path(), p->localRoot() / "sub");
    p->writeCloud("sub/new.txt", "two", kT0 + 10);
    p->run();
    EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST_F(SyncEngineTest, HostileCloudNamesAreSkippedWithARecordAndNothingLandsOutside) {
    // The service's listing gives the item "victim" (a file, or a folder with a file in it)
    // one of these names.
    struct Case {
        std::string what;
        bool folder;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"dot-dot", false, ".."},
        {"dot", false, "."},
        {"climbing", false, "../../escape"},
        {"slash", false, "sub/escape"},
        {"control", false,
         "esc\x01"
         "ape\n"},
        {"escape sequence", false,
         "esc\x1b]0;title\x07"
         "ape"},
        {"too long", false, std::string(256, 'e')},
        {"folder dot-dot", true, ".."},
        {"folder climbing", true, "../escape"},
        {"folder control", true, "esc\tape"},
        {"folder too long", true, std::string(300, 'e')},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        auto p = pair(SyncBackupTask::kSynchronization, /*localToCloud=*/false,
                      "Hostile" + std::to_string(i));
        const fs::path outside = p->localRoot().parent_path();
        p->writeCloud("keep.txt", "kept", kT0);
        p->writeCloud(c.folder ? "victim/inside.txt" : "victim", "victim", kT0);
        server_->addFault({{"endpoint", "folder/list.json"},
                           {"kind", "patch"},
                           {"count", 1000},
                           {"match", {{"Name", "victim"}}},
                           {"set", {{"Name", c.name}}}});
        EXPECT_EQ(p->run(), SyncBackupTask::kFailed) << p->logText();
        server_->clearFaults();
        EXPECT_EQ(p->localTree(), (Tree{{"keep.txt", "kept"}})) << p->logText();
        EXPECT_TRUE(p->logHas("its name cannot be written safely")) << p->logText();
        // The record shows the name without its control characters.
        const std::string log = p->logText();
        EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](char ch) {
            return (static_cast<unsigned char>(ch) < 0x20 && ch != '\n') || ch == 0x7f;
        })) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), int64_t(p->log()->lines.size()));
        for (const fs::path& place : {outside, outside.parent_path()}) {
            for (const auto& entry : fs::directory_iterator(place)) {
                EXPECT_EQ(entry.path().filename().string().find("escape"), std::string::npos)
                    << entry.path();
            }
        }
        // Once the service names it well again, the item comes down.
        ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
        EXPECT_EQ(p->localTree().count(c.folder ? "victim/inside.txt" : "victim"), 1u);
    }
}

TEST_F(SyncEngineTest, AnInterruptedDownloadLeavesTheLocalFileAlone) {
    auto p = pair(SyncBackupTask::kSynchronization, /*localToCloud=*/false);
    p->writeCloud("doc.txt", "first version", kT0);
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    p->writeCloud("doc.txt", std::string(64 * 1024, 'n'), kT0 + 100);
    server_->addFault(
        {{"endpoint", "download/file.json"}, {"kind", "drop"}, {"count", 50}, {"bytes", 100}});
    EXPECT_EQ(p->run(), SyncBackupTask::kFailed);
    EXPECT_EQ(p->localTree(), (Tree{{"doc.txt", "first version"}}));
    struct stat st {};
    ASSERT_EQ(::stat((p->localRoot() / "doc.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, kT0);

    server_->clearFaults();
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->localTree(), (Tree{{"doc.txt", std::string(64 * 1024, 'n')}}));
}

// A new file's upload that never closes leaves an empty file at the service, newer than the
// local one: it is what is left of the upload, not a newer version.
TEST_F(SyncEngineTest, AnUnfinishedUploadIsSentAgainAndNeverReplacesTheLocalFile) {
    auto p = pair(SyncBackupTask::kSynchronization);
    p->writeLocal("report.txt", "the only copy", kT0);
    p->writeLocal("sub/notes.txt", "notes", kT0);
    server_->addFault(
        {{"endpoint", "upload/close_file_upload.json"}, {"kind", "error"}, {"count", 1000}});
    EXPECT_EQ(p->run(), SyncBackupTask::kFailed);
    server_->clearFaults();
    ASSERT_EQ(p->cloudTree(), (Tree{{"report.txt", ""}, {"sub", "<dir>"}, {"sub/notes.txt", ""}}));
    const std::string leftID = p->cloudID("report.txt");

    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    const Tree expected = {
        {"report.txt", "the only copy"}, {"sub", "<dir>"}, {"sub/notes.txt", "notes"}};
    EXPECT_EQ(p->localTree(), expected);
    EXPECT_EQ(p->cloudTree(), expected);
    EXPECT_EQ(p->cloudID("report.txt"), leftID);  // sent into the file the upload had made
    EXPECT_TRUE(p->trash().empty());
    EXPECT_FALSE(p->logHas("Conflict")) << p->logText();

    // An empty file that is a newer version on its own side still wins.
    p->writeCloud("report.txt", "", kT0 + 100);
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->localTree().at("report.txt"), "");
}

// A newer local copy beats a changed service copy, which is kept in the service's trash
// before the local one is sent. A run that fails at either step must leave the next run
// sending the local winner, never reading the missing service copy as a deletion.
TEST_F(SyncEngineTest, AConflictWonLocallySurvivesARunThatFailsBeforeTheUpload) {
    struct Case {
        const char* failing;
        const char* folder;
        Tree cloudAfterFailure;
    };
    const Case cases[] = {
        {"upload/create_file.json", "ConflictUploadFails", {}},
        // Not written over either: the older copy is still the only one at the service.
        {"file/trash.json", "ConflictTrashFails", {{"doc.txt", "v2 cloud"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        auto p = pair(SyncBackupTask::kSynchronization, true, c.folder);
        p->writeLocal("doc.txt", "v1", kT0);
        ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
        p->writeLocal("doc.txt", "v2 local, the newest", kT0 + 200);
        p->writeCloud("doc.txt", "v2 cloud", kT0 + 100);
        const std::string loserID = p->cloudID("doc.txt");
        const Tree winner = {{"doc.txt", "v2 local, the newest"}};

        server_->addFault({{"endpoint", c.failing}, {"kind", "error"}, {"count", 1000}});
        EXPECT_EQ(p->run(), SyncBackupTask::kFailed);
        server_->clearFaults();
        EXPECT_EQ(p->localTree(), winner);
        EXPECT_EQ(p->cloudTree(), c.cloudAfterFailure);

        ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
        EXPECT_EQ(p->localTree(), winner);
        EXPECT_EQ(p->cloudTree(), winner);
        EXPECT_TRUE(p->trash().empty());
        auto trashed = p->cloudTrash();
        ASSERT_TRUE(trashed.count(loserID)) << p->logText();
        EXPECT_EQ(trashed.at(loserID), 8);  // "v2 cloud"
        EXPECT_EQ(p->snapshot(true), p->snapshot(false));
        ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
        EXPECT_EQ(p->localTree(), winner);
        EXPECT_EQ(p->cloudTree(), winner);
    }
}

TEST_F(SyncEngineTest, BusyChunkAnswersDoNotConsumeAttempts) {
    auto p = pair(SyncBackupTask::kBackup);
    p->writeLocal("busy.txt", "content", kT0);
    // More than the transport's own resends: the engine sees "Folder is busy" once.
    server_->addFault(
        {{"endpoint", "upload/upload_file_chunk2.json"}, {"kind", "busy"}, {"count", 40}});
    ASSERT_EQ(p->run(), SyncBackupTask::kSucceeded) << p->logText();
    EXPECT_EQ(p->cloudTree(), (Tree{{"busy.txt", "content"}}));
    EXPECT_FALSE(p->logHas("UploadFile attempt 1")) << p->logText();
    EXPECT_FALSE(p->logHas("Retry attempt will start")) << p->logText();
}

TEST_F(SyncEngineTest, StopDuringAnUploadEndsStopped) {
    auto p = pair(SyncBackupTask::kBackup);
    p->task()->setThreadCount(1);
    for (int i = 0; i < 6; ++i)
        p->writeLocal("f" + std::to_string(i), "data", kT0);
    server_->addFault({{"endpoint", "upload/upload_file_chunk2.json"},
                       {"kind", "delay"},
                       {"count", 1},
                       {"delay_ms", 400}});
    std::thread stopper([&] {
        while (!p->logHas("UploadFile attempt 0"))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        p->task()->stop();
    });
    EXPECT_EQ(p->run(), SyncBackupTask::kStopped);
    stopper.join();
    EXPECT_LT(p->cloudTree().size(), 6u);
}

TEST_F(SyncEngineTest, SecureFolderContentIsStoredEncryptedAndComesBackPlain) {
    // Longer than a record and than the 4096-byte pieces decryption reads, so records cut
    // across pieces; the small file is a single short record.
    std::string big;
    for (int i = 0; big.size() < 10'000; ++i)
        big += std::to_string(i) + ",";
    const std::string folder = std::string(SyncBackTaskExecutor::kSecureFiles) + "/Vault";
    auto up = pair(SyncBackupTask::kBackup, true, folder);
    up->setSecurePassword("vault pw", /*initialise=*/true);
    up->writeLocal("big.txt", big, kT0);
    up->writeLocal("sub/small.txt", "small", kT0);
    ASSERT_EQ(up->run(), SyncBackupTask::kSucceeded) << up->logText();

    // The service holds records, not the plain bytes.
    Tree stored = up->cloudTree();
    ASSERT_EQ(stored.count("big.txt"), 1u);
    EXPECT_NE(stored.at("big.txt"), big);
    EXPECT_GT(stored.at("big.txt").size(), big.size());
    EXPECT_NE(stored.at("sub/small.txt"), "small");

    auto down = pair(SyncBackupTask::kBackup, false, folder);
    down->setSecurePassword("vault pw", false);
    ASSERT_EQ(down->run(), SyncBackupTask::kSucceeded) << down->logText();
    EXPECT_EQ(down->localTree(), up->localTree());

    // A wrong password opens nothing and writes nothing.
    auto refused = pair(SyncBackupTask::kBackup, false, folder);
    refused->setSecurePassword("not it", false);
    EXPECT_EQ(refused->run(), SyncBackupTask::kFailed);
    EXPECT_TRUE(refused->localTree().empty());
}

}  // namespace
}  // namespace khtest
