#include "DemoAccount.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>

#include "Random.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
constexpr const char* kDemoUser = "demo@brimvault.test";

void writeOwnerOnly(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::path temp = file;
    temp += ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "write " + file.string());
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + file.string());
    std::filesystem::rename(temp, file);
}
}  // namespace

DemoCredentials DemoAccount::loadOrCreateCredentials(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (in) {
        std::stringstream ss;
        ss << in.rdbuf();
        auto j = nlohmann::json::parse(ss.str(), nullptr, false);
        if (j.is_object() && j.value("username", "") != "" && j.value("password", "") != "") {
            return {j["username"], j["password"]};
        }
    }
    DemoCredentials c{kDemoUser, randomHex(10)};
    writeOwnerOnly(file, nlohmann::json{{"username", c.username}, {"password", c.password}}.dump());
    return c;
}

void DemoAccount::storeFile(Services& sv, const Access& access, const std::string& folderId,
                            const std::string& name, const std::string& bytes) {
    FileRow row = sv.tree.createFile(access, folderId, name, static_cast<int64_t>(bytes.size()));
    UploadBytes upload(sv.content.uploadPath(randomHex(16)));
    if (!upload.write(0, bytes.data(), bytes.size()))
        throw std::system_error(errno, std::generic_category(), "store demo file " + name);
    upload.endWrites();
    int64_t rev = sv.content.newRevision();
    sv.content.commit(upload, row.id, rev);
    int64_t oldRev = 0;
    sv.tree.commitContent(row.id, static_cast<int64_t>(bytes.size()), nowSeconds(), rev, &oldRev);
}

void DemoAccount::addSampleTree(Services& sv, int64_t userId) {
    Access access{userId, userId, false, ""};
    try {
        sv.tree.folderIdAt(access, "/Documents");
        return;  // made on an earlier start
    } catch (const ServiceError&) {
    }
    bool encrypted = false;
    FolderRow docs = sv.tree.createFolder(access, "0", "Documents", &encrypted);
    FolderRow photos = sv.tree.createFolder(access, "0", "Photos", &encrypted);
    storeFile(sv, access, std::to_string(docs.id), "Welcome.txt",
              "Welcome to Brimvault.\nThis is a demo account of the reference service.\n");
    storeFile(sv, access, std::to_string(docs.id), "Budget.csv",
              "item,amount\nrent,1200\nfood,400\n");
    static const unsigned char kPng[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x04, 0x00, 0x00,
        0x00, 0xb5, 0x1c, 0x0c, 0x02, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
        0xda, 0x63, 0x64, 0x60, 0x00, 0x00, 0x00, 0x06, 0x00, 0x02, 0x30, 0x81, 0xd0, 0x2f,
        0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    storeFile(sv, access, std::to_string(photos.id), "pixel.png",
              std::string(reinterpret_cast<const char*>(kPng), sizeof kPng));
    storeFile(sv, access, "0", "notes.txt", "Things to do:\n- try the drive\n");
}

DemoCredentials DemoAccount::ensure(Services& sv) {
    DemoCredentials c = loadOrCreateCredentials(sv.dataDir / "demo-credentials.json");
    UserRecord u = sv.accounts.upsertUser({{"username", c.username},
                                           {"password", c.password},
                                           {"first_name", "Demo"},
                                           {"last_name", "User"},
                                           {"drive_name", "Brimvault"},
                                           {"plan", "Demo"},
                                           {"max_storage_mib", 10240}});
    addSampleTree(sv, u.id);
    return c;
}

}  // namespace bvserver
