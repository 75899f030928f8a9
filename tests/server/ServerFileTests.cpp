#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "ServerTestSupport.h"
#include "Sqlite.h"
#include "UploadBytes.h"

namespace bvtest {
namespace {

class FileTest : public ServerTest {};

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out)
        c = static_cast<char>(gen());
    return out;
}

size_t contentFileCount(const std::filesystem::path& data) {
    size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(data / "content")) {
        n += e.is_regular_file() ? 1 : 0;
    }
    return n;
}

TEST_F(FileTest, ListingFollowsTheFolderStamp) {
    User u = newUser();
    nlohmann::json root = list(u, "0");
    ASSERT_EQ(root["ResponseType"], 1) << root;
    EXPECT_EQ(names(root, "Folders"), std::vector<std::string>{"Secure Files"});
    int64_t stamp = root["DirUpdateTime"];

    nlohmann::json same = list(u, "0", stamp);
    EXPECT_NE(same["ResponseType"], 1);
    EXPECT_FALSE(same.contains("Folders") || same.contains("Files")) << same;

    std::string docs = createFolder(u, "0", "Docs");
    nlohmann::json after = list(u, "0", stamp);
    EXPECT_EQ(after["ResponseType"], 1);
    EXPECT_GT(after["DirUpdateTime"].get<int64_t>(), stamp);
    EXPECT_EQ(names(after, "Folders"), (std::vector<std::string>{"Docs", "Secure Files"}));

    nlohmann::json sub = list(u, docs);
    EXPECT_EQ(sub["Name"], "Docs");
    EXPECT_EQ(sub["ParentFolderID"], "0");
    for (const char* key :
         {"DirUpdateTime", "Name", "ParentFolderID", "ResponseType", "Folders", "Files"}) {
        EXPECT_TRUE(sub.contains(key)) << key;
    }
}

TEST_F(FileTest, NamesAreUniqueWithoutRegardToCase) {
    User u = newUser();
    std::string docs = createFolder(u, "0", "Docs");
    uploadFile(u, docs, "Report.txt", "abc");
    struct Case {
        const char* endpoint;
        nlohmann::json params;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"folder.json",
         {{"folder_name", "DOCS"}, {"folder_sub_parent", "0"}},
         "File or folder with such name already exists"},
        {"folder.json",
         {{"folder_name", "report.TXT"}, {"folder_sub_parent", docs}},
         "File or folder with such name already exists"},
        {"upload/create_file.json",
         {{"file_name", "REPORT.txt"}, {"folder_id", docs}, {"file_size", "1"}},
         "File with such a name already exists."},
        {"upload/create_file.json",
         {{"file_name", "docs"}, {"folder_id", "0"}, {"file_size", "1"}},
         "File or folder with such name already exists"},
    };
    for (const auto& c : cases) {
        nlohmann::json p = c.params;
        p["session_id"] = u.sid;
        ApiAnswer a = api().call("POST", c.endpoint, {}, p);
        EXPECT_EQ(a.message(), c.message) << c.endpoint << " " << p;
    }
}

TEST_F(FileTest, MoveRenameTrashRestoreAndDelete) {
    User u = newUser();
    std::string a = createFolder(u, "0", "A");
    std::string b = createFolder(u, "0", "B");
    std::string inner = createFolder(u, a, "Inner");
    std::string file = uploadFile(u, a, "f.txt", "hello")["FileId"];

    ApiAnswer moved = api().call("POST", "folder/move_copy.json", {},
                                 {{"session_id", u.sid},
                                  {"folder_id", inner},
                                  {"dst_folder_id", b},
                                  {"move", "true"},
                                  {"new_folder_name", "Renamed"}});
    EXPECT_EQ(moved.json.value("FolderID", ""), inner) << moved.body;
    EXPECT_EQ(moved.json.value("Name", ""), "Renamed");
    ApiAnswer cycle = api().call(
        "POST", "folder/move_copy.json", {},
        {{"session_id", u.sid}, {"folder_id", b}, {"dst_folder_id", inner}, {"move", "true"}});
    EXPECT_TRUE(cycle.isServiceError()) << cycle.body;

    // A file moved onto an existing name replaces that file.
    uploadFile(u, b, "g.txt", "old");
    ApiAnswer mf = api().call("POST", "file/move_copy.json", {},
                              {{"session_id", u.sid},
                               {"src_file_id", file},
                               {"dst_folder_id", b},
                               {"move", "true"},
                               {"overwrite_if_exists", "true"},
                               {"new_file_name", "g.txt"}});
    EXPECT_EQ(mf.json.value("FileId", ""), file) << mf.body;
    EXPECT_EQ(names(list(u, b), "Files"), std::vector<std::string>{"g.txt"});
    EXPECT_EQ(api().download(u.sid, file).body, "hello");
    EXPECT_EQ(names(list(u, a), "Files"), std::vector<std::string>{});

    // Trash, restore, delete.
    ApiAnswer t =
        api().call("POST", "folder/trash.json", {}, {{"session_id", u.sid}, {"folder_id", b}});
    EXPECT_TRUE(t.json.contains("DirUpdateTime")) << t.body;
    EXPECT_EQ(names(list(u, "0"), "Folders"), (std::vector<std::string>{"A", "Secure Files"}));
    EXPECT_TRUE(api().download(u.sid, file).json.contains("error"));
    nlohmann::json trash = api().call("GET", "folder/trashlist.json", {u.sid}).json;
    EXPECT_EQ(names(trash, "Folders"), std::vector<std::string>{"B"});
    ApiAnswer r =
        api().call("POST", "folder/restore.json", {}, {{"session_id", u.sid}, {"folder_id", b}});
    EXPECT_TRUE(r.json.contains("DirUpdateTime")) << r.body;
    EXPECT_EQ(api().download(u.sid, file).body, "hello");

    ApiAnswer del = api().call("DELETE", "file.json", {u.sid, file});
    EXPECT_TRUE(del.json.contains("DirUpdateTime")) << del.body;
    ApiAnswer rm =
        api().call("POST", "folder/remove.json", {}, {{"session_id", u.sid}, {"folder_id", b}});
    EXPECT_TRUE(rm.json.contains("DirUpdateTime")) << rm.body;
    EXPECT_TRUE(api().call("GET", "folder/list.json", {u.sid, inner}).isServiceError());
}

TEST_F(FileTest, TrashKeepsOriginalNamesAndRestoresToRootWhenTheFolderIsGone) {
    User u = newUser();
    std::string x = createFolder(u, "0", "X");
    std::string first = uploadFile(u, x, "a.txt", "1")["FileId"];
    api().call("POST", "file/trash.json", {}, {{"session_id", u.sid}, {"file_id", first}});
    std::string second = uploadFile(u, x, "a.txt", "22")["FileId"];
    api().call("POST", "file/trash.json", {}, {{"session_id", u.sid}, {"file_id", second}});

    nlohmann::json trash = api().call("GET", "folder/trashlist.json", {u.sid}).json;
    EXPECT_EQ(names(trash, "Files"), (std::vector<std::string>{"a.txt", "a.txt"}));

    api().call("POST", "folder/remove.json", {}, {{"session_id", u.sid}, {"folder_id", x}});
    ApiAnswer restored =
        api().call("POST", "file/restore.json", {}, {{"session_id", u.sid}, {"file_id", first}});
    EXPECT_EQ(restored.json.value("FileId", ""), first) << restored.body;
    EXPECT_EQ(names(list(u, "0"), "Files"), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(api().download(u.sid, first).body, "1");

    ApiAnswer emptied = api().call("DELETE", "folder/trash.json", {u.sid});
    EXPECT_FALSE(emptied.isServiceError()) << emptied.body;
    EXPECT_EQ(names(api().call("GET", "folder/trashlist.json", {u.sid}).json, "Files"),
              std::vector<std::string>{});
    EXPECT_EQ(api().call("GET", "users/info.json", {u.sid}).json["StorageUsed"], 1);
}

TEST_F(FileTest, ChunkedUploadOf50MiBRoundTrips) {
    // Made before signing in: the connection must not sit idle past the keep-alive time.
    const std::string bytes = randomBytes(50u << 20, 7);
    User u = newUser();
    const size_t chunk = 8u << 20;
    ApiAnswer created = api().call("POST", "upload/create_file.json", {},
                                   {{"session_id", u.sid},
                                    {"folder_id", "0"},
                                    {"file_name", "big.bin"},
                                    {"file_size", std::to_string(bytes.size())}});
    for (const char* key : {"FileId", "Name", "Size", "DateModified", "TempLocation", "RequireHash",
                            "RequireHashOnly"}) {
        EXPECT_TRUE(created.json.contains(key)) << key << created.body;
    }
    std::string id = created.json["FileId"], temp = created.json["TempLocation"];

    ASSERT_EQ(api().uploadChunk(u.sid, id, temp, 0, bytes.substr(0, chunk)).json["TotalWritten"],
              chunk);
    ApiAnswer skipped = api().uploadChunk(u.sid, id, temp, 2 * chunk, bytes.substr(2 * chunk, 10));
    EXPECT_EQ(skipped.message(), "Incorrect chunk offset: uploaded=" + std::to_string(chunk) +
                                     ", expected=" + std::to_string(2 * chunk));
    for (size_t off = chunk; off < bytes.size(); off += chunk) {
        std::string piece = bytes.substr(off, chunk);
        ASSERT_EQ(api().uploadChunk(u.sid, id, temp, off, piece).json["TotalWritten"],
                  piece.size());
    }
    // Clients send an empty chunk at the end of a file.
    EXPECT_EQ(api().uploadChunk(u.sid, id, temp, bytes.size(), "").json["TotalWritten"], 0);
    ApiAnswer wrongSize = api().call("POST", "upload/close_file_upload.json", {},
                                     {{"session_id", u.sid},
                                      {"file_id", id},
                                      {"file_size", "5"},
                                      {"temp_location", temp},
                                      {"file_time", "1600000000"}});
    EXPECT_TRUE(wrongSize.isServiceError());
    ApiAnswer closed = api().call("POST", "upload/close_file_upload.json", {},
                                  {{"session_id", u.sid},
                                   {"file_id", id},
                                   {"file_size", std::to_string(bytes.size())},
                                   {"temp_location", temp},
                                   {"file_time", "1600000000"}});
    EXPECT_EQ(closed.json.value("DateModified", int64_t{0}), 1600000000) << closed.body;
    EXPECT_EQ(closed.json.value("Size", int64_t{0}), static_cast<int64_t>(bytes.size()));

    ApiAnswer down = api().download(u.sid, id);
    EXPECT_EQ(down.status, 200);
    EXPECT_TRUE(down.body == bytes) << "downloaded content differs";
    EXPECT_TRUE(api().download(u.sid, id, bytes.size() - 100).body ==
                bytes.substr(bytes.size() - 100));
    EXPECT_EQ(api().call("GET", "users/info.json", {u.sid}).json["StorageUsed"], bytes.size());

    api().call("DELETE", "file.json", {u.sid, id});
    EXPECT_EQ(api().call("GET", "users/info.json", {u.sid}).json["StorageUsed"], 0);
}

TEST_F(FileTest, NewUploadOfAnExistingFileReplacesItsContent) {
    User u = newUser();
    std::string id = uploadFile(u, "0", "doc.txt", "first version")["FileId"];
    size_t before = contentFileCount(server().dataDir());
    ApiAnswer opened = api().call("POST", "upload/open_file_upload.json", {},
                                  {{"session_id", u.sid}, {"file_id", id}, {"file_size", "0"}});
    ASSERT_TRUE(opened.json.contains("TempLocation")) << opened.body;
    api().uploadChunk(u.sid, id, opened.json["TempLocation"], 0, "second");
    // Until the close the old content stays visible.
    EXPECT_EQ(api().download(u.sid, id).body, "first version");
    nlohmann::json p = {{"session_id", u.sid},
                        {"file_id", id},
                        {"file_size", "6"},
                        {"temp_location", opened.json["TempLocation"]},
                        {"file_time", "1700000000"}};
    ApiAnswer closed = api().call("POST", "upload/close_file_upload.json", {}, p);
    EXPECT_EQ(closed.json.value("Size", 0), 6) << closed.body;
    EXPECT_EQ(api().download(u.sid, id).body, "second");
    EXPECT_EQ(contentFileCount(server().dataDir()), before);  // the old version is gone
    ApiAnswer again = api().call("POST", "upload/close_file_upload.json", {}, p);
    EXPECT_TRUE(again.isServiceError());
}

// Every size reads back whole and from any offset: sizes around the one below which an
// upload stays in memory, chunks that cross it, and chunks that failed after writing bytes
// past the accepted end (they declared more than they sent), in memory or taking the upload
// into a file.
TEST_F(FileTest, ContentsOfEverySizeRoundTripFromAnyOffset) {
    User u = newUser();
    constexpr size_t kLimit = bvserver::UploadBytes::kMemoryLimit;
    struct Case {
        size_t size, chunk;
    };
    const std::vector<Case> cases = {{0, 1 << 20},          {1, 1 << 20},
                                     {4096, 1 << 20},       {kLimit, 100 * 1024},
                                     {kLimit + 1, 1 << 20}, {kLimit + 50000, 200 * 1024},
                                     {3 * kLimit, 1 << 20}};
    unsigned seed = 30;
    std::vector<std::pair<std::string, std::string>> files;  // id, bytes
    for (const auto& c : cases) {
        std::string bytes = randomBytes(c.size, ++seed);
        files.emplace_back(
            uploadFile(u, "0", "f" + std::to_string(seed) + ".bin", bytes, c.chunk)["FileId"],
            bytes);
    }
    struct Failed {
        size_t size, first, failed;
    };
    const std::vector<Failed> failures = {{7000, 5000, 4000}, {220 * 1024, 200 * 1024, 150 * 1024}};
    for (const auto& f : failures) {
        std::string bytes = randomBytes(f.size, ++seed);
        ApiAnswer created = api().call("POST", "upload/create_file.json", {},
                                       {{"session_id", u.sid},
                                        {"folder_id", "0"},
                                        {"file_name", "failed" + std::to_string(seed)},
                                        {"file_size", std::to_string(f.size)}});
        std::string id = created.json.value("FileId", ""),
                    temp = created.json.value("TempLocation", "");
        api().uploadChunk(u.sid, id, temp, 0, bytes.substr(0, f.first));
        ApiAnswer failed = api().uploadChunk(u.sid, id, temp, f.first, std::string(f.failed, 'z'),
                                             {{"chunk_size", std::to_string(f.failed + 1)}});
        EXPECT_EQ(failed.message().rfind("Chunk size mismatch", 0), 0u) << failed.body;
        api().uploadChunk(u.sid, id, temp, f.first, bytes.substr(f.first));
        ApiAnswer closed = api().call("POST", "upload/close_file_upload.json", {},
                                      {{"session_id", u.sid},
                                       {"file_id", id},
                                       {"file_size", std::to_string(f.size)},
                                       {"temp_location", temp}});
        EXPECT_EQ(closed.json.value("Size", size_t{0}), f.size) << closed.body;
        files.emplace_back(id, bytes);
    }
    for (const auto& [id, bytes] : files) {
        std::set<size_t> offsets = {0, 1, bytes.size() / 2, bytes.size() - 1, bytes.size()};
        for (size_t offset : offsets) {
            if (offset > bytes.size())
                continue;
            ApiAnswer down = api().download(u.sid, id, static_cast<int64_t>(offset));
            EXPECT_EQ(down.status, 200);
            EXPECT_TRUE(down.body == bytes.substr(offset))
                << bytes.size() << " bytes from " << offset << ": " << down.body.size();
        }
        EXPECT_EQ(api().download(u.sid, id, static_cast<int64_t>(bytes.size()) + 1).message(),
                  "Invalid offset");
    }
}

// What the service keeps of a file's contents: rows of the content database and files of
// the content folder. Read with the service stopped (it holds the database while it runs);
// the service is started again after.
struct Kept {
    int64_t rows = 0;
    size_t files = 0;
    bool operator==(const Kept&) const = default;
};

class ContentPlacementTest : public FileTest {
  protected:
    Kept keptOf(const std::string& fileId) {
        server().kill();
        Kept kept;
        {
            bvserver::Database db(server().dataDir() / "contents.sqlite");
            auto st = db.prepare("SELECT COUNT(*) FROM contents WHERE file_id = ?");
            st.bind(1, std::stoll(fileId));
            kept.rows = st.step() ? st.integer(0) : -1;
        }
        for (const auto& e :
             std::filesystem::recursive_directory_iterator(server().dataDir() / "content"))
            kept.files += e.path().filename().string().rfind(fileId + ".", 0) == 0 ? 1 : 0;
        server().restart();
        reconnect();
        return kept;
    }

    void replace(const User& u, const std::string& id, const std::string& bytes) {
        ApiAnswer opened = api().call("POST", "upload/open_file_upload.json", {},
                                      {{"session_id", u.sid}, {"file_id", id}, {"file_size", "0"}});
        ASSERT_TRUE(opened.json.contains("TempLocation")) << opened.body;
        sendContent(u, id, opened.json["TempLocation"], bytes, 1 << 20);
    }
};

// Small contents are rows, large ones files; a new version of either kind replaces the old
// one of the other kind, and trash, restore, restarts and deletion treat both alike.
TEST_F(ContentPlacementTest, SmallContentsAreRowsLargeOnesFilesAndReplacedVersionsGo) {
    User u = newUser();
    const std::string small = randomBytes(4096, 21), large = randomBytes(1 << 20, 22),
                      again = randomBytes(3000, 23);
    std::string id = uploadFile(u, "0", "doc.bin", small)["FileId"];
    api().call("POST", "file/trash.json", {}, {{"session_id", u.sid}, {"file_id", id}});
    EXPECT_TRUE(api().download(u.sid, id).isServiceError());
    api().call("POST", "file/restore.json", {}, {{"session_id", u.sid}, {"file_id", id}});
    EXPECT_TRUE(api().download(u.sid, id).body == small);
    EXPECT_EQ(keptOf(id), (Kept{1, 0}));

    replace(u, id, large);
    EXPECT_TRUE(api().download(u.sid, id).body == large);
    EXPECT_EQ(keptOf(id), (Kept{0, 1}));

    replace(u, id, again);
    EXPECT_EQ(keptOf(id), (Kept{1, 0}));
    EXPECT_TRUE(api().download(u.sid, id).body == again);  // kept across the restart

    api().call("DELETE", "file.json", {u.sid, id});
    EXPECT_EQ(keptOf(id), (Kept{0, 0}));
}

TEST_F(FileTest, UploadBeyondTheStorageMaximumIsRefused) {
    User u = newUser({{"max_storage_mib", 1}});
    uploadFile(u, "0", "most.bin", std::string(900 * 1024, 'x'));
    ApiAnswer refused = api().call("POST", "upload/create_file.json", {},
                                   {{"session_id", u.sid},
                                    {"folder_id", "0"},
                                    {"file_name", "more.bin"},
                                    {"file_size", std::to_string(200 * 1024)}});
    EXPECT_NE(refused.message().find("storage"), std::string::npos) << refused.body;
    EXPECT_EQ(api().call("GET", "users/info.json", {u.sid}).json["StorageUsed"], 900 * 1024);
}

// The account's total is kept as files change, not summed per call: every path that
// changes a file row must move it, and a restart must find it where it was.
TEST_F(FileTest, StorageUsedFollowsOverwritesDeletionsAndRestarts) {
    User u = newUser();
    auto used = [&](ApiTestClient& client) {
        return client.call("GET", "users/info.json", {u.sid}).json["StorageUsed"];
    };
    std::string docs = createFolder(u, "0", "Docs");
    std::string a = uploadFile(u, docs, "a.bin", std::string(1000, 'a'))["FileId"];
    std::string b = uploadFile(u, "0", "b.bin", std::string(300, 'b'))["FileId"];
    std::string cFile = uploadFile(u, docs, "c.bin", std::string(20, 'c'))["FileId"];
    EXPECT_EQ(used(api()), 1320);

    ApiAnswer opened = api().call("POST", "upload/open_file_upload.json", {},
                                  {{"session_id", u.sid}, {"file_id", a}, {"file_size", "0"}});
    api().uploadChunk(u.sid, a, opened.json["TempLocation"], 0, "smaller");
    api().call("POST", "upload/close_file_upload.json", {},
               {{"session_id", u.sid},
                {"file_id", a},
                {"file_size", "7"},
                {"temp_location", opened.json["TempLocation"]}});
    EXPECT_EQ(used(api()), 327);

    api().call("POST", "file/trash.json", {}, {{"session_id", u.sid}, {"file_id", cFile}});
    EXPECT_EQ(used(api()), 327);  // a trashed file still takes room
    api().call("POST", "folder/remove.json", {}, {{"session_id", u.sid}, {"folder_id", docs}});
    EXPECT_EQ(used(api()), 320);  // the trashed file stays in the trash
    api().call("DELETE", "folder/trash.json", {u.sid});
    EXPECT_EQ(used(api()), 300);

    server().restart();
    ApiTestClient fresh(server());
    EXPECT_EQ(used(fresh), 300);
    fresh.call("DELETE", "file.json", {u.sid, b});
    EXPECT_EQ(used(fresh), 0);
}

// Opens an upload of a new, empty file; answers its id and temporary location.
std::pair<std::string, std::string> openEmpty(ApiTestClient& api, const std::string& sid,
                                              const std::string& name) {
    ApiAnswer created = api.call(
        "POST", "upload/create_file.json", {},
        {{"session_id", sid}, {"folder_id", "0"}, {"file_name", name}, {"file_size", "0"}});
    EXPECT_TRUE(created.json.contains("TempLocation")) << created.body;
    return {created.json.value("FileId", ""), created.json.value("TempLocation", "")};
}

TEST_F(FileTest, OpenUploadsCountAgainstTheStorageAndEnd) {
    // Files declared empty, then filled chunk by chunk, once held 20 times the account's size.
    User u = newUser({{"max_storage_mib", 1}});
    const std::string piece(400 * 1024, 'q');
    std::vector<std::pair<std::string, std::string>> uploads;
    for (int i = 0; i < 3; ++i)
        uploads.push_back(openEmpty(api(), u.sid, "part" + std::to_string(i)));
    EXPECT_EQ(api()
                  .uploadChunk(u.sid, uploads[0].first, uploads[0].second, 0, piece)
                  .json.value("TotalWritten", 0),
              static_cast<int>(piece.size()));
    EXPECT_EQ(api()
                  .uploadChunk(u.sid, uploads[1].first, uploads[1].second, 0, piece)
                  .json.value("TotalWritten", 0),
              static_cast<int>(piece.size()));
    ApiAnswer full = api().uploadChunk(u.sid, uploads[2].first, uploads[2].second, 0, piece);
    EXPECT_EQ(full.message(), "Not enough storage space for this upload") << full.body;
    ApiAnswer more =
        api().uploadChunk(u.sid, uploads[0].first, uploads[0].second, piece.size(), piece);
    EXPECT_EQ(more.message(), "Not enough storage space for this upload") << more.body;
    // What still fits is taken.
    std::string small(100 * 1024, 's');
    EXPECT_EQ(api()
                  .uploadChunk(u.sid, uploads[2].first, uploads[2].second, 0, small)
                  .json.value("TotalWritten", 0),
              static_cast<int>(small.size()));

    // One account keeps a bounded number of uploads open.
    User busy = newUser();
    for (int i = 0; i < 100; ++i)
        openEmpty(api(), busy.sid, "f" + std::to_string(i));
    ApiAnswer capped = api().call("POST", "upload/create_file.json", {},
                                  {{"session_id", busy.sid},
                                   {"folder_id", "0"},
                                   {"file_name", "one-more"},
                                   {"file_size", "0"}});
    EXPECT_EQ(capped.code(), 429) << capped.body;

    // Uploads left idle for a day end, and their bytes go, while the service runs. Only the
    // two that outgrew memory have files.
    auto parts = [&] {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(server().dataDir() / "uploads"))
            n += e.is_regular_file() ? 1 : 0;
        return n;
    };
    EXPECT_EQ(parts(), 2u);
    server().advanceClock(24 * 3600 + 1);
    User later = newUser();
    openEmpty(api(), later.sid, "fresh");
    EXPECT_EQ(parts(), 0u);
    ApiAnswer gone =
        api().uploadChunk(u.sid, uploads[0].first, uploads[0].second, piece.size(), "x");
    EXPECT_EQ(gone.message(), "Upload not found") << gone.body;
    openEmpty(api(), busy.sid, "after-the-idle-ones-ended");
}

TEST_F(FileTest, FileAndFolderIdsAreNeverGivenTwice) {
    User u = newUser();
    std::set<std::string> seen;
    for (int round = 0; round < 3; ++round) {
        std::string file = uploadFile(u, "0", "again.txt", "x")["FileId"];
        std::string folder = createFolder(u, "0", "Again");
        EXPECT_TRUE(seen.insert("file " + file).second) << file;
        EXPECT_TRUE(seen.insert("folder " + folder).second) << folder;
        ASSERT_FALSE(api().call("DELETE", "file.json", {u.sid, file}).isServiceError());
        ASSERT_FALSE(api()
                         .call("POST", "folder/remove.json", {},
                               {{"session_id", u.sid}, {"folder_id", folder}})
                         .isServiceError());
    }
}

TEST_F(FileTest, PathsIdentifiersInfoAndThumbnails) {
    User u = newUser();
    std::string docs = createFolder(u, "0", "Docs");
    std::string sub = createFolder(u, docs, "Sub");
    std::string pic = uploadFile(u, sub, "Pic.PNG", "not really a png")["FileId"];
    std::string txt = uploadFile(u, sub, "notes.txt", "text")["FileId"];

    EXPECT_EQ(api()
                  .call("POST", "folder/idbypath.json", {},
                        {{"session_id", u.sid}, {"path", "/docs/SUB"}})
                  .json["FolderId"],
              sub);
    EXPECT_EQ(api()
                  .call("POST", "file/idbypath.json", {},
                        {{"session_id", u.sid}, {"path", "/Docs/Sub/pic.png"}})
                  .json["FileId"],
              pic);
    for (const char* missing : {"/Docs/none.txt", "/Nope/pic.png", "/"}) {
        EXPECT_EQ(
            api()
                .call("POST", "file/idbypath.json", {}, {{"session_id", u.sid}, {"path", missing}})
                .code(),
            404)
            << missing;
    }
    EXPECT_EQ(api().call("GET", "file/path.json", {u.sid, pic}).json["Path"], "Docs/Sub/Pic.PNG");
    EXPECT_EQ(api().call("GET", "folder/path.json", {u.sid, sub}).json["Path"], "Docs/Sub");

    nlohmann::json info = api().call("GET", "file/info.json", {pic}, {{"session_id", u.sid}}).json;
    for (const char* key : {"FileId", "Name", "Size", "DateModified", "Link", "DownloadLink",
                            "StreamingLink", "Access", "Description"}) {
        EXPECT_TRUE(info.contains(key)) << key;
    }
    EXPECT_EQ(api()
                  .call("GET", "file/info.json", {}, {{"session_id", u.sid}, {"file_id", txt}})
                  .json["Name"],
              "notes.txt");
    nlohmann::json folder = api().call("GET", "folder/info.json", {u.sid, sub}).json;
    EXPECT_EQ(folder["FolderID"], sub);
    EXPECT_EQ(folder["Encrypted"], 0);

    ApiAnswer thumb = api().call("GET", "file/thumb.json", {pic}, {{"session_id", u.sid}});
    EXPECT_EQ(thumb.status, 200);
    EXPECT_EQ(thumb.body.substr(1, 3), "PNG");
    EXPECT_TRUE(
        api().call("GET", "file/thumb.json", {txt}, {{"session_id", u.sid}}).isServiceError());
}

TEST_F(FileTest, RestartKeepsAccountsSessionsFoldersAndContents) {
    User u = newUser();
    std::string docs = createFolder(u, "0", "Docs");
    const std::string bytes = randomBytes(3u << 20, 11);
    std::string id = uploadFile(u, docs, "data.bin", bytes)["FileId"];
    // An upload left open when the server dies leaves nothing behind.
    ApiAnswer open = api().call("POST", "upload/open_file_upload.json", {},
                                {{"session_id", u.sid}, {"file_id", id}, {"file_size", "0"}});
    api().uploadChunk(u.sid, id, open.json["TempLocation"], 0, "partial");

    server().restart();
    ApiTestClient fresh(server());
    nlohmann::json listing =
        fresh.call("GET", "folder/list.json", {u.sid, docs}, {{"last_request_time", "0"}}).json;
    EXPECT_EQ(names(listing, "Files"), std::vector<std::string>{"data.bin"}) << listing;
    EXPECT_TRUE(fresh.download(u.sid, id).body == bytes);
    EXPECT_TRUE(std::filesystem::is_empty(server().dataDir() / "uploads"));
    EXPECT_FALSE(fresh.login(u.name, u.password).empty());
}

}  // namespace
}  // namespace bvtest

namespace bvtest {
namespace {

// Kills the server while a client keeps replacing one file's content, then checks that the
// restarted server shows one complete version, never a torn or half-written one.
TEST_F(FileTest, KillDuringUploadsLeavesACompleteVersion) {
    User u = newUser();
    std::vector<std::string> versions;
    // Small and large versions in turn: each kind replaces the other.
    for (unsigned i = 0; i < 6; ++i)
        versions.push_back(randomBytes((i % 2 ? 1u << 20 : 1000u) + i * 4099, 100 + i));
    std::string id = uploadFile(u, "0", "f.bin", versions[0])["FileId"];

    std::atomic<int> replaced{0};  // closes the server confirmed
    for (int round = 0; round < 3; ++round) {
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            ApiTestClient client(server());
            for (size_t n = 1; !stop; ++n) {
                const std::string& bytes = versions[n % versions.size()];
                ApiAnswer open =
                    client.call("POST", "upload/open_file_upload.json", {},
                                {{"session_id", u.sid}, {"file_id", id}, {"file_size", "0"}});
                if (!open.json.contains("TempLocation"))
                    continue;
                std::string temp = open.json["TempLocation"];
                for (size_t off = 0; off < bytes.size() && !stop; off += 256 * 1024) {
                    client.uploadChunk(u.sid, id, temp, off, bytes.substr(off, 256 * 1024));
                }
                ApiAnswer closed = client.call("POST", "upload/close_file_upload.json", {},
                                               {{"session_id", u.sid},
                                                {"file_id", id},
                                                {"file_size", std::to_string(bytes.size())},
                                                {"temp_location", temp}});
                if (closed.json.contains("FileId"))
                    ++replaced;
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + 250 * round));
        server().kill();
        stop = true;
        writer.join();
        server().restart();

        ApiTestClient fresh(server());
        nlohmann::json info =
            fresh.call("GET", "file/info.json", {id}, {{"session_id", u.sid}}).json;
        ApiAnswer content = fresh.download(u.sid, id);
        ASSERT_EQ(info.value("Size", int64_t{-1}), static_cast<int64_t>(content.body.size()))
            << info;
        bool known = false;
        for (const auto& v : versions)
            known = known || v == content.body;
        EXPECT_TRUE(known) << "round " << round << ": the content is no complete version";
    }
    EXPECT_GT(replaced.load(), 0) << "the writer never completed an upload";
}

}  // namespace
}  // namespace bvtest
