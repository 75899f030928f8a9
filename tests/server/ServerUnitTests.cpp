#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "ApiRouter.h"
#include "ContentStore.h"
#include "MetadataStore.h"
#include "NameRules.h"
#include "ServiceClock.h"
#include "ServiceError.h"
#include "ServiceLimits.h"
#include "TempDir.h"
#include "TreeQueries.h"
#include "UploadBytes.h"
#include "UploadSessions.h"

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

namespace {

std::string messageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const bvserver::ServiceError& e) {
        return e.what();
    }
    return "";
}

TEST(ServerUploads, ChunksInOrderAndOneCloseAtATime) {
    bvtest::TempDir dir;
    bvserver::ContentStore content(dir.path());
    bvserver::ServiceClock clock;
    bvserver::ServiceLimits limits;
    bvserver::UploadSessions uploads(content, clock, limits);
    std::string temp = uploads.open(7, 1, 1);
    constexpr int64_t kRoom = 1 << 20;
    auto chunk = [&](int64_t fileId, int64_t userId, int64_t offset) {
        uploads.beginChunk(temp, fileId, userId, offset, kRoom, std::nullopt);
    };

    chunk(7, 1, 0);
    // A second chunk while the first is being written, and a close, must wait.
    EXPECT_EQ(messageOf([&] { chunk(7, 1, 0); }), "Incorrect chunk offset: uploaded=0, expected=0");
    EXPECT_EQ(messageOf([&] { uploads.beginClose(temp, 7, 1); }),
              "This file is already being processed. Please wait until previous upload operation "
              "will be finished.");
    uploads.endChunk(temp, 10, true);
    EXPECT_EQ(messageOf([&] { chunk(7, 1, 5); }),
              "Incorrect chunk offset: uploaded=10, expected=5");
    // Another file or another user does not reach this upload.
    EXPECT_EQ(messageOf([&] { uploads.beginClose(temp, 8, 1); }), "Upload not found");
    EXPECT_EQ(messageOf([&] { uploads.beginClose(temp, 7, 2); }), "Upload not found");

    EXPECT_EQ(uploads.beginClose(temp, 7, 1).received, 10);
    EXPECT_EQ(messageOf([&] { uploads.beginClose(temp, 7, 1); }),
              "This file is already being processed. Please wait until previous upload operation "
              "will be finished.");
    EXPECT_NE(messageOf([&] { chunk(7, 1, 10); }), "");
    uploads.endClose(temp, false);  // a failed close may be tried again
    EXPECT_EQ(uploads.beginClose(temp, 7, 1).received, 10);
    uploads.endClose(temp, true);
    EXPECT_EQ(messageOf([&] { uploads.beginClose(temp, 7, 1); }), "Upload not found");
}

}  // namespace

namespace {

TEST(ServerMetadata, DataFolderFromBeforeStopsGivingIdsTwice) {
    bvtest::TempDir dir;
    const auto file = dir.path() / "metadata.sqlite";
    {
        bvserver::Database old(file);
        old.exec(R"SQL(
CREATE TABLE files (id INTEGER PRIMARY KEY, owner_id INTEGER NOT NULL,
    folder_id INTEGER NOT NULL, name TEXT NOT NULL, name_key TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0, created INTEGER NOT NULL, modified INTEGER NOT NULL,
    trashed INTEGER NOT NULL DEFAULT 0, rev INTEGER NOT NULL DEFAULT 0);
CREATE TABLE sessions (id TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
    verified INTEGER NOT NULL, token TEXT, created INTEGER NOT NULL);
INSERT INTO files (id, owner_id, folder_id, name, name_key, created, modified)
    VALUES (1, 1, 1, 'kept', 'kept', 0, 0), (2, 1, 1, 'gone', 'gone', 0, 0);
INSERT INTO sessions VALUES ('s', 1, 1, NULL, 0);
)SQL");
    }
    bvserver::MetadataStore store(file);
    store.locked([](bvserver::Database& db) {
        db.exec("DELETE FROM files WHERE id = 2");
        db.exec(
            "INSERT INTO files (owner_id, folder_id, name, name_key, created, modified) VALUES "
            "(1, 1, 'new', 'new', 0, 0)");
        EXPECT_EQ(db.lastInsertId(), 3);
        auto kept = db.prepare("SELECT name FROM files WHERE id = 1");
        ASSERT_TRUE(kept.step());
        EXPECT_EQ(kept.text(0), "kept");
        auto session = db.prepare("SELECT user_id, last_used, token_attempts FROM sessions");
        ASSERT_TRUE(session.step());
        EXPECT_EQ(session.integer(0), 1);
        EXPECT_TRUE(session.isNull(1));
    });
}

TEST(ServerMetadata, DataFolderFromBeforeStartsWithItsStorageTotals) {
    bvtest::TempDir dir;
    const auto file = dir.path() / "metadata.sqlite";
    {
        bvserver::Database old(file);
        old.exec(R"SQL(
CREATE TABLE users (id INTEGER PRIMARY KEY, username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    pw_salt TEXT NOT NULL, pw_hash TEXT NOT NULL);
INSERT INTO users (id, username, pw_salt, pw_hash) VALUES (1, 'ann', '', ''), (2, 'bo', '', '');
CREATE TABLE files (id INTEGER PRIMARY KEY AUTOINCREMENT, owner_id INTEGER NOT NULL,
    folder_id INTEGER NOT NULL, name TEXT NOT NULL, name_key TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0, created INTEGER NOT NULL, modified INTEGER NOT NULL,
    trashed INTEGER NOT NULL DEFAULT 0, rev INTEGER NOT NULL DEFAULT 0);
INSERT INTO files (owner_id, folder_id, name, name_key, size, created, modified, trashed)
    VALUES (1, 1, 'a', 'a', 100, 0, 0, 0), (1, 1, 'b', 'b', 23, 0, 0, 1),
           (2, 1, 'c', 'c', 5, 0, 0, 0);
)SQL");
    }
    bvserver::MetadataStore store(file);
    store.locked([](bvserver::Database& db) {
        EXPECT_EQ(bvserver::tree::storageUsed(db, 1), 123);
        EXPECT_EQ(bvserver::tree::storageUsed(db, 2), 5);
        // Moving a file to another owner moves its bytes too.
        db.exec("UPDATE files SET owner_id = 2, size = 40 WHERE name = 'a'");
        EXPECT_EQ(bvserver::tree::storageUsed(db, 1), 23);
        EXPECT_EQ(bvserver::tree::storageUsed(db, 2), 45);
    });
}

// Statements are kept per connection: one still stepping is never handed out again, and one
// given back starts afresh with no bindings left over.
TEST(ServerMetadata, CachedStatementsNestAndStartAfresh) {
    bvtest::TempDir dir;
    bvserver::Database db(dir.path() / "cache.sqlite");
    db.exec("CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1), (2), (3);");
    const char* sql = "SELECT n FROM t WHERE n >= ? ORDER BY n";
    std::vector<int64_t> pairs;
    {
        auto outer = db.prepare(sql);
        outer.bind(1, int64_t{2});
        while (outer.step()) {
            auto inner = db.prepare(sql);
            inner.bind(1, outer.integer(0));
            while (inner.step())
                pairs.push_back(outer.integer(0) * 10 + inner.integer(0));
        }
    }
    EXPECT_EQ(pairs, (std::vector<int64_t>{22, 23, 33}));
    auto again = db.prepare(sql);
    EXPECT_FALSE(again.step());  // an unbound parameter is NULL: no row, not the old 2
}

}  // namespace

namespace {

using bvserver::ContentStore;
using bvserver::UploadBytes;

std::string patterned(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 7 + i / 4093) % 251);
    return bytes;
}

std::string readBack(ContentStore& content, int64_t fileId, int64_t rev) {
    auto stored = content.open(fileId, rev);
    return stored ? std::string(stored->data(), stored->size()) : "<none>";
}

// An upload stays in memory up to the limit and is then a row; past it, it moves to a file
// inside the write that crosses it and is stored as a file. Both read back whole; at the
// next start only the current versions are left, and a removed one is gone.
TEST(ServerContents, SmallAsRowsLargeAsFilesAndOnlyCurrentOnesSurviveARestart) {
    bvtest::TempDir dir;
    constexpr int64_t kLimit = UploadBytes::kMemoryLimit;
    struct Case {
        int64_t size;
        bool inFile;
    };
    const std::vector<Case> cases = {
        {0, false}, {4096, false}, {kLimit, false}, {kLimit + 1, true}, {3 * kLimit, true}};
    struct Version {
        int64_t fileId, rev;
        std::string bytes;
        bool inFile;
    };
    std::vector<Version> current, orphans;
    {
        ContentStore content(dir.path());
        int64_t fileId = 0;
        for (const auto& c : cases) {
            ++fileId;
            for (int copy = 0; copy < 2; ++copy) {
                std::string bytes = patterned(static_cast<size_t>(c.size), copy);
                UploadBytes upload(content.uploadPath("t" + std::to_string(fileId * 10 + copy)));
                constexpr size_t kPiece = 100 * 1024;
                for (size_t off = 0; off < bytes.size(); off += kPiece) {
                    ASSERT_TRUE(upload.write(static_cast<int64_t>(off), bytes.data() + off,
                                             std::min(kPiece, bytes.size() - off)));
                }
                upload.endWrites();
                EXPECT_EQ(upload.inFile(), c.inFile) << c.size;
                int64_t rev = content.newRevision();
                content.commit(upload, fileId, rev);
                EXPECT_EQ(std::filesystem::exists(content.contentPath(fileId, rev)), c.inFile);
                EXPECT_TRUE(readBack(content, fileId, rev) == bytes) << c.size;
                (copy == 0 ? current : orphans).push_back({fileId, rev, bytes, c.inFile});
            }
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "uploads"));
        // A version looked up under another file's id is not that file's.
        EXPECT_EQ(readBack(content, current[1].fileId + 1, current[1].rev), "<none>");
    }

    ContentStore restarted(dir.path());
    std::set<std::pair<int64_t, int64_t>> keep;
    for (const auto& v : current)
        keep.insert({v.fileId, v.rev});
    restarted.cleanUp([&](int64_t id, int64_t rev) { return keep.count({id, rev}) > 0; });
    for (const auto& v : current)
        EXPECT_TRUE(readBack(restarted, v.fileId, v.rev) == v.bytes) << v.bytes.size();
    for (const auto& v : orphans) {
        EXPECT_EQ(readBack(restarted, v.fileId, v.rev), "<none>") << v.bytes.size();
        EXPECT_FALSE(std::filesystem::exists(restarted.contentPath(v.fileId, v.rev)));
    }
    for (const auto& v : current) {
        restarted.remove(v.fileId, v.rev);
        EXPECT_EQ(readBack(restarted, v.fileId, v.rev), "<none>") << v.bytes.size();
    }
}

// Bytes a failed write left past the accepted end go at the cut, in memory and in the file.
TEST(ServerContents, UploadBytesCutToTheAcceptedEnd) {
    bvtest::TempDir dir;
    ContentStore content(dir.path());
    for (int64_t size : {int64_t{10}, UploadBytes::kMemoryLimit + 10}) {
        const std::string bytes = patterned(static_cast<size_t>(size), 3);
        UploadBytes upload(content.uploadPath("cut" + std::to_string(size)));
        ASSERT_TRUE(upload.write(0, bytes.data(), bytes.size()));
        ASSERT_TRUE(upload.write(size - 4, "zzzzzzzz", 8));
        ASSERT_TRUE(upload.write(size - 4, bytes.data() + size - 4, 4));
        upload.endWrites();
        upload.truncate(size);
        int64_t rev = content.newRevision();
        content.commit(upload, 1, rev);
        EXPECT_TRUE(readBack(content, 1, rev) == bytes) << size;
    }
}

TEST(ServerContents, DamagedDatabaseIsAClearError) {
    bvtest::TempDir dir;
    std::ofstream(dir.path() / "contents.sqlite") << std::string(8192, 'x');
    try {
        ContentStore content(dir.path());
        ADD_FAILURE() << "a damaged database was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot use the content database"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("contents.sqlite"), std::string::npos) << e.what();
    }
}

}  // namespace
