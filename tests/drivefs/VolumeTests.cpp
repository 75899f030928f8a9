// The volume on a real FUSE mount, served by a bvmount child process against the reference
// service: what programs see through POSIX calls, and what reaches the service.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "MountedVolume.h"
#include "ReferenceServer.h"
#include "TempDir.h"

namespace bvtest {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes through open/write/close and answers close()'s errno (0 when saved).
int writeFile(const fs::path& path, const std::string& bytes, int flags = O_CREAT | O_TRUNC) {
    const int fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    if (fd < 0)
        return errno;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            return saved;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : errno;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

class VolumeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setUpSuite(false); }
    static void setUpSuite(bool withManyEntries) {
        skipReason_ = new std::string(MountedVolume::unavailableReason());
        if (!skipReason_->empty())
            return;
        home_ = new ScopedHome();
        server_ = new ReferenceServer(ReferenceServer::Options{
            .seed = nlohmann::json::array(
                {{{"username", "vol"}, {"password", "pw"}, {"max_storage_mib", 2048}},
                 {{"username", "crash"}, {"password", "pw"}},
                 {{"username", "open"}, {"password", "pw"}},
                 {{"username", "fsx"}, {"password", "pw"}},
                 {{"username", "retry"}, {"password", "pw"}},
                 {{"username", "back"}, {"password", "pw"}},
                 {{"username", "unl"}, {"password", "pw"}, {"plan", "Unlimited"}}}),
            // The listing test makes its files without uploading them, each an open upload.
            .arguments = {"--max-open-uploads", std::to_string(kManyEntries + 100)}});
        if (withManyEntries)
            fillManyFolder();
        else
            putUnreadFile();
        volume_ = new MountedVolume(*server_, "vol", "pw");
    }
    static constexpr int kManyEntries = 5000;
    static constexpr size_t kUnreadSize = 6 << 20;
    // "/Unread/file.bin" (kUnreadSize random bytes, seed 11), uploaded at the service before
    // the mount, so that the volume has never cached it.
    static void putUnreadFile() {
        BVApiClient client;
        auto folder =
            putAtService(client, "vol", "Unread", "file.bin", randomBytes(kUnreadSize, 11));
        ASSERT_FALSE(folder.empty());
    }
    // Uploads name into a new folder of the account's root at the service; the file's id,
    // empty on failure.
    static std::string putAtService(BVApiClient& client, const std::string& user,
                                    const std::string& folderName, const std::string& name,
                                    const std::string& bytes) {
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server_->baseUrl());
        configuration.setCaFile(server_->caFile().string());
        client.setConfiguration(configuration);
        bv::Error error;
        auto session = client.authenticateUserSessionWithUsername(user, "pw", &error);
        EXPECT_NE(session, nullptr) << error.description();
        if (!session)
            return "";
        BVApiClientAuthContext context(session);
        auto folder = client.createFolder(folderName, "0", &context, &error);
        EXPECT_NE(folder, nullptr) << error.description();
        if (!folder)
            return "";
        std::shared_ptr<BVUploadFileHandle> handle;
        const bool done =
            client.createFile(name, folder->identifier, &handle, &context, false,
                              static_cast<int64_t>(bytes.size()), &error) &&
            handle &&
            client.uploadChunk(bv::Data(bytes.data(), bytes.size()), 0, handle->identifier,
                               handle->tempLocation, &context, &error) &&
            client.closeFileUpload(handle->identifier, static_cast<int64_t>(bytes.size()),
                                   handle->tempLocation, false, std::nullopt, &context, &error);
        EXPECT_TRUE(done) << error.description();
        return done ? handle->identifier : "";
    }
    // "/Many" with kManyEntries files, made at the service before the mount (what the
    // volume lists first is what it caches).
    static void fillManyFolder() {
        BVApiClient client;
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server_->baseUrl());
        configuration.setCaFile(server_->caFile().string());
        client.setConfiguration(configuration);
        bv::Error error;
        auto session = client.authenticateUserSessionWithUsername("vol", "pw", &error);
        ASSERT_NE(session, nullptr) << error.description();
        BVApiClientAuthContext context(session);
        auto folder = client.createFolder("Many", "0", &context, &error);
        ASSERT_NE(folder, nullptr) << error.description();
        for (int i = 0; i < kManyEntries; ++i) {
            std::shared_ptr<BVUploadFileHandle> handle;
            ASSERT_NE(client.createFile("entry-" + std::to_string(i), folder->identifier, &handle,
                                        &context, false, 0, &error),
                      nullptr)
                << error.description();
        }
    }
    static void TearDownTestSuite() {
        delete volume_;
        volume_ = nullptr;
        delete server_;
        server_ = nullptr;
        delete home_;
        home_ = nullptr;
        delete skipReason_;
        skipReason_ = nullptr;
    }
    void SetUp() override {
        if (!skipReason_->empty())
            GTEST_SKIP() << *skipReason_;
        ASSERT_NE(volume_, nullptr);
    }

    // A fresh folder on the volume for one test.
    fs::path folder(const std::string& name) {
        const fs::path path = *volume_ / name;
        EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << std::strerror(errno);
        return path;
    }

    // The service's own view, through a separate session of the same account.
    BVApiClientAuthContext& service() {
        if (!context_) {
            client_ = std::make_unique<BVApiClient>();
            BVApiRequestConfiguration configuration;
            configuration.setRequestHost(server_->baseUrl());
            configuration.setCaFile(server_->caFile().string());
            client_->setConfiguration(configuration);
            bv::Error error;
            auto session = client_->authenticateUserSessionWithUsername("vol", "pw", &error);
            EXPECT_NE(session, nullptr) << error.description();
            context_ = std::make_shared<BVApiClientAuthContext>(session);
        }
        return *context_;
    }
    std::shared_ptr<BVFolderListItem> serviceListing(const std::string& path) {
        auto& context = service();
        bv::Error error;
        std::string id = "0";
        if (path != "/") {
            auto folder = client_->folderIdAt(path, &context, &error);
            if (!folder)
                return nullptr;
            id = folder->identifier;
        }
        return client_->listFolder(id, std::nullopt, &context, &error);
    }
    std::optional<std::string> serviceContent(const std::string& folderPath,
                                              const std::string& name) {
        auto listing = serviceListing(folderPath);
        auto item = listing ? listing->itemNamed(name) : nullptr;
        if (!item)
            return std::nullopt;
        bv::Error error;
        auto bytes = client_->downloadData(item->identifier, &service(), &error);
        if (!bytes)
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(bytes->bytes()), bytes->size());
    }

    static std::string* skipReason_;
    static ScopedHome* home_;
    static ReferenceServer* server_;
    static MountedVolume* volume_;
    std::unique_ptr<BVApiClient> client_;
    std::shared_ptr<BVApiClientAuthContext> context_;
};

std::string* VolumeTest::skipReason_ = nullptr;
ScopedHome* VolumeTest::home_ = nullptr;
ReferenceServer* VolumeTest::server_ = nullptr;
MountedVolume* VolumeTest::volume_ = nullptr;

TEST_F(VolumeTest, RootIsAFolderWithTheVirtualFolders) {
    struct stat st {};
    ASSERT_EQ(::stat(volume_->root().c_str(), &st), 0) << std::strerror(errno);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    auto names = entriesOf(volume_->root());
    EXPECT_TRUE(names.count("Trash"));
    EXPECT_TRUE(names.count("Shared Folders"));
}

TEST_F(VolumeTest, TmpStoreNamesStayLocal) {
    const fs::path dir = folder("Local");
    for (const std::string name : {".DS_Store", "x.localized", ".MACOSX_XATTRS"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(writeFile(dir / name, "local bytes"), 0);
        EXPECT_EQ(readAll(dir / name), "local bytes");
        EXPECT_TRUE(fs::exists(dir / name));
        EXPECT_FALSE(entriesOf(dir).count(name));
        auto listing = serviceListing("/Local");
        ASSERT_NE(listing, nullptr);
        EXPECT_FALSE(listing->containsItemNamed(name));
        EXPECT_EQ(::unlink((dir / name).c_str()), 0) << std::strerror(errno);
        EXPECT_FALSE(fs::exists(dir / name));
    }
}

TEST_F(VolumeTest, RefusedNamesGiveTheirErrno) {
    const fs::path dir = folder("Names");
    struct Case {
        std::string what;
        std::function<int()> call;
        int expected;
    };
    const std::vector<Case> cases = {
        {"create blank-led", [&] { return writeFile(dir / " lead.txt", "x"); }, EPERM},
        {"mkdir blank-led", [&] { return ::mkdir((dir / " Lead").c_str(), 0755) == 0 ? 0 : errno; },
         EPERM},
        {"create below blank-led folder", [&] { return writeFile(dir / " F" / "a.txt", "x"); },
         ENOENT},
        {"blank inside", [&] { return writeFile(dir / "in side.txt", "x"); }, 0},
        {"mkdir existing",
         [&] {
             ::mkdir((dir / "Twice").c_str(), 0755);
             return ::mkdir((dir / "Twice").c_str(), 0755) == 0 ? 0 : errno;
         },
         EEXIST},
        {"symlink", [&] { return ::symlink("in side.txt", (dir / "l").c_str()) == 0 ? 0 : errno; },
         EPERM},
        {"hard link",
         [&] {
             return ::link((dir / "in side.txt").c_str(), (dir / "h").c_str()) == 0 ? 0 : errno;
         },
         EPERM},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(entriesOf(dir), (std::set<std::string>{"in side.txt", "Twice"}));
}

TEST_F(VolumeTest, RmdirOfAFullFolderFailsAndKeepsIt) {
    const fs::path dir = folder("Full");
    ASSERT_EQ(::mkdir((dir / "Inner").c_str(), 0755), 0);
    ASSERT_EQ(writeFile(dir / "Inner" / "keep.txt", "keep"), 0);
    EXPECT_EQ(::rmdir((dir / "Inner").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(serviceContent("/Full/Inner", "keep.txt"), "keep");
    ASSERT_EQ(::unlink((dir / "Inner" / "keep.txt").c_str()), 0);
    EXPECT_EQ(::rmdir((dir / "Inner").c_str()), 0) << std::strerror(errno);
    EXPECT_FALSE(fs::exists(dir / "Inner"));
}

TEST_F(VolumeTest, CopyInAndOutIsByteIdentical) {
    const fs::path dir = folder("Copy");
    TempDir local("copy");
    const std::string bytes = randomBytes(50 << 20, 7);
    { std::ofstream(local / "big.bin", std::ios::binary) << bytes; }
    fs::copy_file(local / "big.bin", dir / "big.bin");
    EXPECT_EQ(fs::file_size(dir / "big.bin"), bytes.size());
    fs::copy_file(dir / "big.bin", local / "back.bin");
    EXPECT_TRUE(readAll(local / "back.bin") == bytes);
    EXPECT_TRUE(serviceContent("/Copy", "big.bin") == bytes);
}

TEST_F(VolumeTest, TruncatingOpenReplacesTheContent) {
    const fs::path dir = folder("Trunc");
    ASSERT_EQ(writeFile(dir / "f.txt", "a much longer old content\n"), 0);
    ASSERT_EQ(writeFile(dir / "f.txt", "x\n", O_TRUNC), 0);  // echo x > f.txt
    EXPECT_EQ(readAll(dir / "f.txt"), "x\n");
    EXPECT_EQ(serviceContent("/Trunc", "f.txt"), "x\n");

    ASSERT_EQ(writeFile(dir / "g.txt", "0123456789"), 0);
    const int fd = ::open((dir / "g.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, 4), 0) << std::strerror(errno);
    EXPECT_EQ(::close(fd), 0);
    EXPECT_EQ(serviceContent("/Trunc", "g.txt"), "0123");
    EXPECT_EQ(::truncate((dir / "g.txt").c_str(), 0), 0) << std::strerror(errno);
    EXPECT_EQ(serviceContent("/Trunc", "g.txt"), "");
}

TEST_F(VolumeTest, EditorSaveByRenameKeepsOneFileWithTheNewContent) {
    const fs::path dir = folder("Edit");
    ASSERT_EQ(writeFile(dir / "doc.txt", "old text\n"), 0);
    ASSERT_EQ(writeFile(dir / ".doc.txt.swp", "new text\n"), 0);
    ASSERT_EQ(::rename((dir / ".doc.txt.swp").c_str(), (dir / "doc.txt").c_str()), 0)
        << std::strerror(errno);
    EXPECT_EQ(entriesOf(dir), (std::set<std::string>{"doc.txt"}));
    EXPECT_EQ(readAll(dir / "doc.txt"), "new text\n");
    EXPECT_EQ(serviceContent("/Edit", "doc.txt"), "new text\n");

    ASSERT_EQ(::mkdir((dir / "Full").c_str(), 0755), 0);
    ASSERT_EQ(writeFile(dir / "Full" / "x", "x"), 0);
    ASSERT_EQ(::mkdir((dir / "Other").c_str(), 0755), 0);
    EXPECT_EQ(::rename((dir / "Other").c_str(), (dir / "Full").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
}

// Its own suite: only this one fills the account with thousands of files.
class VolumeListingTest : public VolumeTest {
  protected:
    static void SetUpTestSuite() { setUpSuite(true); }
};

TEST_F(VolumeListingTest, ListsAFolderOfFiveThousandEntries) {
    std::set<std::string> expected;
    for (int i = 0; i < kManyEntries; ++i)
        expected.insert("entry-" + std::to_string(i));
    EXPECT_EQ(entriesOf(*volume_ / "Many"), expected);
}

// The kernel caches names, attributes and pages; a change at the service that
// a background refresh learns of must be what the mount shows right after that refresh.
TEST_F(VolumeTest, ChangesAtTheServiceAreSeenRightAfterARefresh) {
    const fs::path dir = folder("Refreshed");
    ASSERT_EQ(writeFile(dir / "kept.txt", "old content"), 0);
    ASSERT_EQ(writeFile(dir / "gone.txt", "soon gone"), 0);
    ASSERT_EQ(writeFile(dir / "kind", "a file, then a folder"), 0);
    ASSERT_EQ(::mkdir((dir / "Sub").c_str(), 0755), 0);
    ASSERT_EQ(writeFile(dir / "Sub" / "inner.txt", "inner"), 0);
    // Looked at twice: the second look is what the kernel answers from its caches.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& path :
             {dir / "kept.txt", dir / "gone.txt", dir / "kind", dir / "Sub" / "inner.txt"}) {
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            readAll(path);
        }
        ASSERT_EQ(entriesOf(dir), (std::set<std::string>{"Sub", "gone.txt", "kept.txt", "kind"}));
    }

    // The daemon's content cache takes a file as changed when its date (whole seconds, by the
    // service's real clock) is over 1.5 s past the moment the content was cached.
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    auto listing = serviceListing("/Refreshed");
    ASSERT_NE(listing, nullptr);
    auto& context = service();
    bv::Error error;
    auto upload = [&](const std::string& fileId, const std::string& bytes) {
        auto handle =
            client_->openFile(fileId, static_cast<int64_t>(bytes.size()), &context, &error);
        return handle &&
               client_->uploadChunk(bv::Data(bytes.data(), bytes.size()), 0, handle->identifier,
                                    handle->tempLocation, &context, &error) &&
               client_->closeFileUpload(handle->identifier, static_cast<int64_t>(bytes.size()),
                                        handle->tempLocation, false, std::nullopt, &context,
                                        &error);
    };
    const std::string newContent = "new and longer content";
    ASSERT_TRUE(upload(listing->itemNamed("kept.txt")->identifier, newContent))
        << error.description();
    ASSERT_TRUE(client_->deleteFile(listing->itemNamed("gone.txt")->identifier, &context, &error))
        << error.description();
    std::shared_ptr<BVUploadFileHandle> added;
    ASSERT_NE(
        client_->createFile("added.txt", listing->identifier, &added, &context, false, 5, &error),
        nullptr)
        << error.description();
    ASSERT_TRUE(upload(added->identifier, "added")) << error.description();
    ASSERT_NE(client_->moveFolder(listing->itemNamed("Sub")->identifier, "Moved",
                                  listing->identifier, &context, &error),
              nullptr)
        << error.description();
    // Were the kernel still to hold the name for the file, the folder would fail as the
    // wrong kind of item.
    ASSERT_TRUE(client_->deleteFile(listing->itemNamed("kind")->identifier, &context, &error))
        << error.description();
    ASSERT_NE(client_->createFolder("kind", listing->identifier, &context, &error), nullptr)
        << error.description();

    volume_->refresh({"/Refreshed"});

    struct stat st {};
    ASSERT_EQ(::stat((dir / "kept.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(newContent.size()));
    EXPECT_EQ(readAll(dir / "kept.txt"), newContent);
    EXPECT_EQ(::stat((dir / "gone.txt").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::stat((dir / "Sub" / "inner.txt").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(::stat((dir / "kind").c_str(), &st), 0) << std::strerror(errno);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(entriesOf(dir), (std::set<std::string>{"Moved", "added.txt", "kept.txt", "kind"}));
    EXPECT_EQ(readAll(dir / "added.txt"), "added");
    EXPECT_EQ(readAll(dir / "Moved" / "inner.txt"), "inner");
}

// A folder made at the service and then looked into once through the mount: the kernel
// has walked its name only once, yet a name it caches inside it must still be dropped when
// the service changes that item.
TEST_F(VolumeTest, AChangeBelowAFolderLookedIntoOnceIsSeen) {
    auto root = serviceListing("/");
    ASSERT_NE(root, nullptr);
    auto& context = service();
    bv::Error error;
    auto made = client_->createFolder("OnceSeen", root->identifier, &context, &error);
    ASSERT_NE(made, nullptr) << error.description();
    auto listing = serviceListing("/OnceSeen");
    ASSERT_NE(listing, nullptr);
    std::shared_ptr<BVUploadFileHandle> added;
    ASSERT_NE(client_->createFile("kind", listing->identifier, &added, &context, false, 0, &error),
              nullptr)
        << error.description();
    ASSERT_TRUE(client_->closeFileUpload(added->identifier, 0, added->tempLocation, false,
                                         std::nullopt, &context, &error))
        << error.description();
    volume_->refresh({"/"});

    const fs::path kind = *volume_ / "OnceSeen" / "kind";
    struct stat st {};
    ASSERT_EQ(::stat(kind.c_str(), &st), 0) << std::strerror(errno);
    ASSERT_TRUE(S_ISREG(st.st_mode));

    listing = serviceListing("/OnceSeen");
    ASSERT_TRUE(client_->deleteFile(listing->itemNamed("kind")->identifier, &context, &error))
        << error.description();
    ASSERT_NE(client_->createFolder("kind", listing->identifier, &context, &error), nullptr)
        << error.description();
    volume_->refresh({"/OnceSeen"});

    ASSERT_EQ(::stat(kind.c_str(), &st), 0) << std::strerror(errno);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(VolumeTest, StatfsReportsTheAccount) {
    struct statvfs st {};
    ASSERT_EQ(::statvfs(volume_->root().c_str(), &st), 0) << std::strerror(errno);
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_frsize, 2048ull << 20);
    EXPECT_LE(st.f_bavail, st.f_blocks);
}

TEST_F(VolumeTest, KilledDaemonLeavesNoMountBehind) {
    fs::path mountPoint;
    {
        MountedVolume crashing(*server_, "crash", "pw");
        mountPoint = crashing.root();
        ASSERT_EQ(writeFile(crashing / "before.txt", "saved"), 0);
        crashing.kill();
        const auto start = std::chrono::steady_clock::now();
        while (MountedVolume::isMounted(mountPoint) &&
               std::chrono::steady_clock::now() < start + std::chrono::seconds(30))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(MountedVolume::isMounted(mountPoint))
            << "still mounted after "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
            << " s";
    }
    MountedVolume again(*server_, "crash", "pw");
    EXPECT_EQ(readAll(again / "before.txt"), "saved");
}

TEST_F(VolumeTest, RenameMovesExtendedAttributes) {
    const fs::path dir = folder("Xattr");
    ASSERT_EQ(writeFile(dir / "a.txt", "a"), 0);
    ASSERT_EQ(::setxattr((dir / "a.txt").c_str(), "user.xdg.tags", "blue", 4, 0), 0)
        << std::strerror(errno);
    ASSERT_EQ(::rename((dir / "a.txt").c_str(), (dir / "b.txt").c_str()), 0);
    char value[16] = {};
    EXPECT_EQ(::getxattr((dir / "b.txt").c_str(), "user.xdg.tags", value, sizeof value), 4)
        << std::strerror(errno);
    EXPECT_EQ(std::string(value), "blue");
    EXPECT_EQ(::getxattr((dir / "a.txt").c_str(), "user.xdg.tags", value, sizeof value), -1);
    // No security labels or access lists are kept, and programs told so stop asking.
    for (const char* name : {"security.selinux", "system.posix_acl_access"}) {
        EXPECT_EQ(::getxattr((dir / "b.txt").c_str(), name, value, sizeof value), -1) << name;
        EXPECT_EQ(errno, EOPNOTSUPP) << name;
    }
}

TEST_F(VolumeTest, TwoReadersOfOneUncachedFileGetIt) {
    const std::string expected = randomBytes(kUnreadSize, 11);
    // Separate processes, as two programs opening the file at once would be.
    std::vector<pid_t> readers;
    for (int i = 0; i < 2; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(readAll(*volume_ / "Unread" / "file.bin") == expected ? 0 : 1);
        readers.push_back(child);
    }
    for (pid_t reader : readers) {
        int status = -1;
        ASSERT_EQ(::waitpid(reader, &status, 0), reader);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader " << reader;
    }
}

TEST_F(VolumeTest, ReadThatKeepsFailingFailsAfterTheRetries) {
    BVApiClient client;
    const std::string id = putAtService(client, "retry", "R", "doomed.bin", "doomed bytes");
    ASSERT_FALSE(id.empty());
    // Its clock skips the waits: three read-ahead attempts per try, three retries 5 s apart.
    MountedVolume volume(*server_, "retry", "pw", {"--skip-sleeps"});
    ASSERT_EQ(fs::file_size(volume / "R" / "doomed.bin"), 12u);
    {
        bv::Error error;
        auto session = client.authenticateUserSessionWithUsername("retry", "pw", &error);
        ASSERT_NE(session, nullptr);
        BVApiClientAuthContext context(session);
        ASSERT_TRUE(client.deleteFile(id, &context, &error)) << error.description();
    }
    const int fd = ::open((volume / "R" / "doomed.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    char buffer[64];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(::read(fd, buffer, sizeof buffer), -1);
    const int failure = errno;
    EXPECT_TRUE(failure == EIO || failure == ENOENT) << std::strerror(failure);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10)
        << "the waits were slept, not skipped";
    ::close(fd);
}

// A program that keeps the file open after a failed read is not left with EIO for good: its
// next read on the same descriptor, once the service answers again, gets the bytes.
TEST_F(VolumeTest, AnOpenFileReadsAgainOnceTheServiceIsBack) {
    BVApiClient client;
    ASSERT_FALSE(putAtService(client, "back", "Back", "kept.bin", "kept open").empty());
    ASSERT_FALSE(putAtService(client, "back", "Other", "other.bin", "other").empty());
    MountedVolume volume(*server_, "back", "pw", {"--skip-sleeps"});
    const fs::path file = volume / "Back" / "kept.bin";
    ASSERT_EQ(fs::file_size(file), 9u);
    ASSERT_EQ(fs::file_size(volume / "Other" / "other.bin"), 5u);
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    std::shared_ptr<void> closes(nullptr, [fd](void*) { ::close(fd); });
    server_->addFault({{"endpoint", "download/file.json"}, {"kind", "http500"}, {"count", 1000}});
    char buffer[64];
    EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(errno, EIO) << std::strerror(errno);
    // Right after, the failure is the read's too; the volume's clock, which skips its waits,
    // passes that time while another file's read spends its retries.
    EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), -1);
    const int other = ::open((volume / "Other" / "other.bin").c_str(), O_RDONLY);
    ASSERT_GE(other, 0) << std::strerror(errno);
    EXPECT_EQ(::read(other, buffer, sizeof buffer), -1);
    ::close(other);
    server_->clearFaults();
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
    ASSERT_EQ(got, 9) << std::strerror(errno);
    EXPECT_EQ(std::string(buffer, 9), "kept open");
}

// Opens the file with a copy of dd named as the program (dd opens its input even for no
// block); answers whether the open succeeded.
bool opensAs(const std::string& program, const fs::path& file, const TempDir& bin) {
    const fs::path copy = bin / program;
    if (!fs::exists(copy))
        fs::copy_file("/bin/dd", copy);
    const std::string command =
        copy.string() + " if=" + file.string() + " of=/dev/null count=0 status=none 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

TEST_F(VolumeTest, ThumbnailerAndIndexerOpens) {
    const fs::path dir = folder("Thumbs");
    ASSERT_EQ(writeFile(dir / "photo.PNG", "not really a png"), 0);
    ASSERT_EQ(writeFile(dir / "notes.txt", "text"), 0);
    TempDir bin("bin");
    // The thumbnail service opens pictures only; indexers open nothing; others everything.
    EXPECT_TRUE(opensAs("tumblerd", dir / "photo.PNG", bin));
    EXPECT_FALSE(opensAs("tumblerd", dir / "notes.txt", bin));
    EXPECT_FALSE(opensAs("tracker-extract-3", dir / "notes.txt", bin));
    EXPECT_TRUE(opensAs("dd", dir / "notes.txt", bin));
}

TEST_F(VolumeTest, StatfsOfAnUnlimitedAccount) {
    MountedVolume unlimited(*server_, "unl", "pw");
    struct statvfs st {};
    ASSERT_EQ(::statvfs(unlimited.root().c_str(), &st), 0) << std::strerror(errno);
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_frsize, 1024000000000000ull);
}

TEST_F(VolumeTest, UnmountWithAFileStillOpenFinishesIt) {
    MountedVolume volume(*server_, "open", "pw");
    const int fd = ::open((volume / "open.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, "unclosed", 8), 8);
    // The kernel never releases this file: the end of the mount must finish it.
    EXPECT_TRUE(volume.stop());
    ::close(fd);
    MountedVolume again(*server_, "open", "pw");
    EXPECT_EQ(readAll(again / "open.txt"), "unclosed");
}

TEST_F(VolumeTest, FioVerifiesA64MiBFile) {
    if (std::system("command -v fio > /dev/null") != 0)
        GTEST_SKIP() << "fio is not installed (scripts/install-deps.sh installs it)";
    const fs::path dir = folder("Fio");
    TempDir report("fio");
    // Written in 1 MiB blocks, then read back and checked block by block.
    const std::string command = "fio --name=verify --filename=" + (dir / "f.bin").string() +
                                " --size=64M --bs=1M --rw=write --ioengine=psync --fallocate=none"
                                " --verify=crc32c --do_verify=1 --verify_fatal=1"
                                " --output=" +
                                (report / "fio.out").string() + " > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command << "\n" << readAll(report / "fio.out");
    EXPECT_EQ(fs::file_size(dir / "f.bin"), 64u << 20);
}

// A random-operation exerciser in the manner of fsx: writes (also past the end), truncates,
// truncating opens, reads, read-your-own-writes on one open file and renames over other
// files, each checked against an in-memory model of the folder; then the whole folder again
// through the volume, and once more after unmount, a wiped cache and a new mount.
// BV_FSX_SEED and BV_FSX_OPS choose the seed and the number of operations (200 by default).
class Exerciser {
  public:
    Exerciser(fs::path folder, unsigned seed) : folder_(std::move(folder)), random_(seed) {}

    void run(int operations) {
        for (op_ = 0; op_ < operations; ++op_)
            step();
    }
    // Every file of the model, whole, and no other file in the folder.
    void verifyAll(const fs::path& folder, const std::string& when) {
        std::set<std::string> names;
        for (const auto& [name, bytes] : model_) {
            names.insert(name);
            if (readAll(folder / name) != bytes)
                mismatch(when + ": content of " + name);
        }
        if (entriesOf(folder) != names)
            mismatch(when + ": the folder's names");
    }
    const std::vector<std::string>& mismatches() const { return mismatches_; }

  private:
    static constexpr uint64_t kMaxSize = 256 << 10;

    uint64_t upTo(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n)(random_); }
    std::string name(uint64_t i) const { return "f" + std::to_string(i); }
    fs::path at(const std::string& file) const { return folder_ / file; }
    void mismatch(const std::string& what) {
        mismatches_.push_back("op " + std::to_string(op_) + ": " + what);
    }
    std::string bytes(uint64_t size) {
        std::string out(size, '\0');
        for (auto& byte : out)
            byte = static_cast<char>(random_());
        return out;
    }
    static void place(std::string& file, uint64_t offset, const std::string& data) {
        if (file.size() < offset + data.size())
            file.resize(offset + data.size(), '\0');
        file.replace(offset, data.size(), data);
    }
    int openFile(const std::string& file, int flags) {
        const int fd = ::open(at(file).c_str(), flags, 0644);
        if (fd < 0)
            mismatch("open " + file + ": " + std::strerror(errno));
        return fd;
    }
    void closeFile(int fd, const std::string& file) {
        if (::close(fd) != 0)
            mismatch("close " + file + ": " + std::strerror(errno));
    }

    void step() {
        const std::string file = name(upTo(2));
        auto found = model_.find(file);
        const uint64_t size = found == model_.end() ? 0 : found->second.size();
        switch (upTo(9)) {
            case 0:
            case 1:
            case 2:
            case 3: {  // a write, somewhere up to a little past the end
                const uint64_t offset = std::min(upTo(size + 4096), kMaxSize);
                const std::string data = bytes(1 + upTo(16383));
                const int fd = openFile(file, O_RDWR | O_CREAT);
                if (fd < 0)
                    return;
                if (::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                    static_cast<ssize_t>(data.size()))
                    mismatch("write " + file + ": " + std::strerror(errno));
                place(model_[file], offset, data);
                closeFile(fd, file);
                return;
            }
            case 4: {  // ftruncate, shorter or longer
                const uint64_t length = std::min(upTo(size + 8192), kMaxSize);
                const int fd = openFile(file, O_RDWR | O_CREAT);
                if (fd < 0)
                    return;
                if (::ftruncate(fd, static_cast<off_t>(length)) != 0)
                    mismatch("truncate " + file + ": " + std::strerror(errno));
                model_[file].resize(length, '\0');
                closeFile(fd, file);
                return;
            }
            case 5: {  // a truncating open, as a shell's redirection
                const std::string data = bytes(upTo(2048));
                if (writeFile(at(file), data) != 0)
                    mismatch("truncating write " + file);
                model_[file] = data;
                return;
            }
            case 6:
            case 7: {  // a read of some range
                if (found == model_.end())
                    return;
                const uint64_t offset = upTo(size);
                std::string buffer(1 + upTo(65535), '\0');
                const int fd = openFile(file, O_RDONLY);
                if (fd < 0)
                    return;
                const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
                const std::string expected = found->second.substr(offset, buffer.size());
                if (n < 0 || buffer.substr(0, static_cast<size_t>(n)) != expected)
                    mismatch("read " + file + " at " + std::to_string(offset));
                closeFile(fd, file);
                return;
            }
            case 8: {  // rename over another name
                if (found == model_.end())
                    return;
                const std::string target = name((upTo(1) + 1 + (file[1] - '0')) % 3);
                if (::rename(at(file).c_str(), at(target).c_str()) != 0) {
                    mismatch("rename " + file + ": " + std::strerror(errno));
                    return;
                }
                model_[target] = found->second;
                model_.erase(file);
                return;
            }
            default: {  // write then read back on one open file
                const uint64_t offset = std::min(upTo(size), kMaxSize);
                const std::string data = bytes(1 + upTo(8191));
                const int fd = openFile(file, O_RDWR | O_CREAT);
                if (fd < 0)
                    return;
                if (::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                    static_cast<ssize_t>(data.size()))
                    mismatch("write " + file + ": " + std::strerror(errno));
                place(model_[file], offset, data);
                std::string back(model_[file].size(), '\0');
                const ssize_t n = ::pread(fd, back.data(), back.size(), 0);
                if (n != static_cast<ssize_t>(back.size()) || back != model_[file])
                    mismatch("read back " + file);
                closeFile(fd, file);
                return;
            }
        }
    }

    fs::path folder_;
    std::mt19937 random_;
    int op_ = 0;
    std::map<std::string, std::string> model_;
    std::vector<std::string> mismatches_;
};

unsigned fromEnvironment(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

// The cache folder of one account below the temporary HOME.
std::optional<fs::path> cacheFolderOf(const std::string& user) {
    for (const auto& entry : fs::recursive_directory_iterator(std::getenv("HOME"))) {
        if (entry.is_directory() && entry.path().filename() == "Cache" &&
            entry.path().parent_path().filename() == user)
            return entry.path();
    }
    return std::nullopt;
}

TEST_F(VolumeTest, RandomOperationsMatchTheModelAlsoAfterRemount) {
    const unsigned seed = fromEnvironment("BV_FSX_SEED", 1);
    const int operations = static_cast<int>(fromEnvironment("BV_FSX_OPS", 200));
    std::unique_ptr<Exerciser> exerciser;
    {
        MountedVolume volume(*server_, "fsx", "pw");
        ASSERT_EQ(::mkdir((volume / "Fsx").c_str(), 0755), 0) << std::strerror(errno);
        exerciser = std::make_unique<Exerciser>(volume / "Fsx", seed);
        exerciser->run(operations);
        exerciser->verifyAll(volume / "Fsx", "mounted");
        ASSERT_TRUE(volume.stop());
    }
    auto cache = cacheFolderOf("fsx");
    ASSERT_TRUE(cache) << "no cache folder of the account below " << std::getenv("HOME");
    for (const auto& entry : fs::directory_iterator(*cache))
        fs::remove_all(entry.path());
    MountedVolume again(*server_, "fsx", "pw");
    exerciser->verifyAll(again / "Fsx", "after remount");
    for (const auto& line : exerciser->mismatches())
        ADD_FAILURE() << line;
    EXPECT_TRUE(exerciser->mismatches().empty()) << "seed " << seed << ", " << operations << " ops";
}

}  // namespace
}  // namespace bvtest
