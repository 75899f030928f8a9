#include "SyncFolderPair.h"
#include "app/Logging/BVLogging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVSignInSequence.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncBackTaskExecutor.h"
#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "Keelhaven/SyncEngine/SyncEngine.h"
#include "WebCallExec/BVDataEncryption.h"
#include "crypto/encrypted_folder.h"

namespace fs = std::filesystem;

namespace khtest {

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void setTime(const fs::path& path, int64_t mtime) {
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string relativeTo(const std::string& path, const std::string& root) {
    if (path.compare(0, root.size(), root) != 0)
        return "?" + path;
    std::string rest = path.substr(root.size());
    while (!rest.empty() && rest.front() == '/')
        rest.erase(0, 1);
    return rest;
}

}  // namespace

// The password and, once a run opened the folder, the key behind the encryption hooks.
struct SyncFolderPair::SecureState {
    std::mutex m;
    std::string password;
    bv::Data key;
    bv::Data currentKey() {
        std::lock_guard lock(m);
        return key;
    }
};

class SyncFolderPair::Parts : public SyncBackupTaskParts {
  public:
    Parts(SyncRunEnvironment environment, std::shared_ptr<FakeLog> log)
        : environment_(std::move(environment)), log_(std::move(log)) {}
    std::shared_ptr<SyncBackupTaskExecutor> makeExecutor(SyncBackupTask& task) override {
        return std::make_shared<SyncBackTaskExecutor>(task, environment_);
    }
    std::unique_ptr<SyncBackupTaskScheduler> makeScheduler(
        const nlohmann::json&, std::shared_ptr<SyncBackupTaskExecutor>) override {
        return std::make_unique<FakeScheduler>([](const char*) {});
    }
    std::shared_ptr<SyncBackupTaskLog> makeLogger(const std::string&) override { return log_; }
    std::unique_ptr<SyncBackupEngine> makeEngine(SyncBackupTask& task) override {
        return makeSyncEngine(task, environment_);
    }

  private:
    SyncRunEnvironment environment_;
    std::shared_ptr<FakeLog> log_;
};

SyncFolderPair::SyncFolderPair(const bvtest::ReferenceServer& server, const std::string& user,
                               const std::string& password, const std::string& cloudFolder,
                               const std::string& taskType, bool localToCloud)
    : server_(server),
      local_("khpair"),
      localRoot_(local_.path() / "local"),
      trashRoot_(local_.path() / "Trash"),
      cloudFolder_(cloudFolder),
      clock_(std::make_shared<bv::ManualClock>()),
      log_(std::make_shared<FakeLog>()),
      secure_(std::make_shared<SecureState>()) {
    fs::create_directories(localRoot_);
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(server.baseUrl());
    configuration.setCaFile(server.caFile().string());
    service_ = std::make_unique<BVApiClient>(clock_);
    api_ = std::make_shared<BrimvaultApiClient>(service_.get(), configuration, clock_);
    auto result = BVSignInSequence::signIn(*service_, user, password, nullptr);
    if (!result.session)
        throw std::runtime_error("sign-in failed: " + result.error.description());
    session_ = result.session->sessionId;
    // A folder inside the secure folder can only be made once a run has opened it.
    bool insideSecure = cloudFolder_.rfind(SyncBackTaskExecutor::kSecureFiles, 0) == 0;
    if (!cloudFolder_.empty() && !insideSecure)
        makeCloudFolder("");

    environment_.api = api_;
    environment_.trashRoot = trashRoot_;
    std::string sessionID = session_;
    environment_.user = [sessionID, user] {
        BrimvaultUserInfo::Values values;
        values.m_username = user;
        values.m_sessionId = sessionID;
        values.driveName = kDrive;
        return values;
    };
    auto secure = secure_;
    auto api = api_;
    environment_.openSecureFolder = [secure, api, sessionID](const std::string& folderID,
                                                             std::string* reason) {
        auto data = api->getEncryptedDirectoryPassword(folderID, sessionID, reason);
        if (!data)
            return false;
        std::string hash;
        bv::Data key;
        std::lock_guard lock(secure->m);
        if (encryptDirectory(secure->password, *data, &hash, &key) != 1) {
            *reason = "wrong secure-folder password";
            return false;
        }
        if (!api->openEncryptedDirectory(folderID, hash, sessionID, reason))
            return false;
        secure->key = key;
        return true;
    };
    environment_.encrypt = [secure](const bv::Data& in, bv::Data* out) {
        auto sealed = encryptWithKey(in, secure->currentKey());
        if (sealed)
            *out = std::move(*sealed);
        return sealed.has_value();
    };
    environment_.decryptStream = [secure](bv::Data& buffer, bv::Data* out) {
        bv::Error error;
        auto plain = decryptWithKey(buffer, secure->currentKey(), &error);
        *out = plain ? std::move(*plain) : bv::Data();
        return plain.has_value() || !error.isSet();
    };
    context_ = std::make_shared<SyncBackupTaskContext>();
    context_->clock = clock_;
    context_->parts = std::make_shared<Parts>(environment_, log_);
    context_->userName = user;
    mainThread_.install(*context_);
    context_->registry = std::make_shared<SyncBackupDatabase>(clock_);
    context_->registry->openSyncBackupDatabase((local_.path() / "SyncBackup.db").string());
    task_ = SyncBackupTask::taskObject("pair", 100, context_);
    task_->setTaskType(taskType);
    std::string cloudPath = std::string("/") + kDrive + "/" + cloudFolder_;
    task_->setFromPath(localToCloud ? localRoot_.string() : cloudPath);
    task_->setToPath(localToCloud ? cloudPath : localRoot_.string());
    task_->setSchedularType("Manual Start");
    context_->registry->insertTask(task_->row());
    task_->runTask(nullptr);
}

SyncFolderPair::~SyncFolderPair() {
    mainThread_.drain();
}

int64_t SyncFolderPair::run() {
    SyncBackTaskExecutor executor(*task_, environment_);
    executor.main();
    mainThread_.drain();
    return task_->lastStatus();
}

void SyncFolderPair::writeLocal(const std::string& path, const std::string& content,
                                int64_t mtime) {
    fs::path full = localRoot_ / path;
    fs::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
    setTime(full, mtime);
}

void SyncFolderPair::linkLocal(const std::string& path, const std::string& target) {
    fs::path full = localRoot_ / path;
    fs::create_directories(full.parent_path());
    fs::create_symlink(target, full);
}

void SyncFolderPair::makeLocalFolder(const std::string& path) {
    fs::create_directories(localRoot_ / path);
}

void SyncFolderPair::removeLocal(const std::string& path) {
    fs::remove_all(localRoot_ / path);
}

std::string SyncFolderPair::cloudParentOf(const std::string& path, std::string* leaf) {
    std::string full = cloudFolder_.empty() ? path : cloudFolder_ + "/" + path;
    auto slash = full.rfind('/');
    *leaf = slash == std::string::npos ? full : full.substr(slash + 1);
    std::string parent = "0";
    if (slash == std::string::npos)
        return parent;
    std::stringstream parts(full.substr(0, slash));
    std::string part;
    while (std::getline(parts, part, '/')) {
        std::string id;
        bool isFolder = false;
        if (!api_->doGetItemByName(part, &id, session_, parent, &isFolder, "0", nullptr)) {
            auto made = api_->doCreateDirectory(parent, "/", part, session_, "0", nullptr);
            if (!made)
                throw std::runtime_error("cannot create " + part);
            id = made->m_folderID;
        }
        parent = id;
    }
    return parent;
}

void SyncFolderPair::makeCloudFolder(const std::string& path) {
    std::string leaf;
    std::string parent = cloudParentOf(path.empty() ? "" : path, &leaf);
    if (path.empty() && cloudFolder_.empty())
        return;
    std::string id;
    bool isFolder = false;
    if (!api_->doGetItemByName(leaf, &id, session_, parent, &isFolder, "0", nullptr))
        api_->doCreateDirectory(parent, "/", leaf, session_, "0", nullptr);
}

void SyncFolderPair::writeCloud(const std::string& path, const std::string& content,
                                int64_t mtime) {
    std::string leaf;
    std::string parent = cloudParentOf(path, &leaf);
    std::string reason;
    std::string existing;
    bool isFolder = false;
    BrimvaultApiClient::CreatedFile created;
    // An existing file takes a new upload, as an edit at the service does: its id stays.
    if (api_->doGetItemByName(leaf, &existing, session_, parent, &isFolder, "0", nullptr)) {
        auto temp = api_->doOpenFileForUpload(existing, session_, "0", &reason);
        if (!temp)
            throw std::runtime_error("cannot reopen " + path + ": " + reason);
        created.fileID = existing;
        created.tempLocation = *temp;
    } else {
        auto made = api_->doCreateFile(parent, leaf, static_cast<int64_t>(content.size()), session_,
                                       "0", &reason);
        if (!made)
            throw std::runtime_error("cannot create " + path + ": " + reason);
        created = *made;
    }
    if (!content.empty() &&
        !api_->doFileUpload(bv::Data::fromString(content), created.fileID, 0, created.tempLocation,
                            session_, "0", false, nullptr, &reason))
        throw std::runtime_error("cannot upload " + path + ": " + reason);
    if (!api_->doCloseFileForUpload(created.fileID, leaf, static_cast<int64_t>(content.size()),
                                    created.tempLocation, session_, mtime, parent, false, "0",
                                    &reason))
        throw std::runtime_error("cannot close " + path + ": " + reason);
}

void SyncFolderPair::setSecurePassword(const std::string& password, bool initialise) {
    {
        std::lock_guard lock(secure_->m);
        secure_->password = password;
    }
    if (!initialise)
        return;
    std::string folderID;
    bool isFolder = false;
    std::string reason;
    if (!api_->doGetItemByName(SyncBackTaskExecutor::kSecureFiles, &folderID, session_, "0",
                               &isFolder, "0", &reason))
        throw std::runtime_error("no secure folder: " + reason);
    std::string hash, data;
    if (set_password(password, &hash, &data) != 1)
        throw std::runtime_error("cannot make a verifier");
    auto session = std::make_shared<BVUserSessionItem>();
    session->sessionId = session_;
    BVApiClientAuthContext context(session);
    bv::Error error;
    if (!service_->secureFoldersInit(folderID, data, hash, &context, &error))
        throw std::runtime_error("cannot set up the secure folder: " + error.description());
}

std::string SyncFolderPair::cloudID(const std::string& path) {
    std::string leaf;
    std::string parent = cloudParentOf(path, &leaf);
    std::string id;
    bool isFolder = false;
    if (!api_->doGetItemByName(leaf, &id, session_, parent, &isFolder, "0", nullptr))
        return "";
    return id;
}

std::map<std::string, int64_t> SyncFolderPair::cloudTrash() {
    auto session = std::make_shared<BVUserSessionItem>();
    session->sessionId = session_;
    BVApiClientAuthContext context(session);
    bv::Error error;
    auto listing = service_->listTrashFolderWithContext(&context, &error);
    if (!listing)
        throw std::runtime_error("cannot list the trash: " + error.description());
    std::map<std::string, int64_t> files;
    for (const auto& file : listing->files)
        files[file->identifier] = file->size;
    return files;
}

void SyncFolderPair::removeCloud(const std::string& path) {
    std::string leaf;
    std::string parent = cloudParentOf(path, &leaf);
    std::string id;
    bool isFolder = false;
    if (!api_->doGetItemByName(leaf, &id, session_, parent, &isFolder, "0", nullptr))
        return;
    if (isFolder)
        api_->doDeleteAFolder(id, path, session_, "0", nullptr);
    else
        api_->doDeleteAFile(id, path, session_, "0", nullptr);
}

SyncFolderPair::Tree SyncFolderPair::localTree() const {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(localRoot_);
         it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = it->path().lexically_relative(localRoot_).string();
        if (it->is_symlink())
            tree[rel] = "-> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[rel] = "<dir>";
        else
            tree[rel] = readFile(it->path());
    }
    return tree;
}

void SyncFolderPair::cloudTreeOf(const std::string& id, const std::string& prefix, Tree* tree) {
    std::vector<BrimvaultFile> files;
    std::vector<BrimvaultFolder> folders;
    if (!api_->doDirListing(id, "/", nullptr, &files, &folders, session_, "0", nullptr))
        throw std::runtime_error("cannot list " + prefix);
    for (const auto& file : files) {
        auto data = (local_.path() / "probe").string();
        std::string target;
        std::string reason;
        std::string rel = prefix + file.m_filename;
        if (file.m_size == 0) {
            (*tree)[rel] = "";
        } else if (api_->doDownloadFile(data, file.m_fileID, false, &target, session_, 0, "0",
                                        nullptr, &reason)) {
            (*tree)[rel] = readFile(data);
        } else {
            (*tree)[rel] =
                reason == BrimvaultApiClient::kFileIsSymlink ? "-> " + target : "?" + reason;
        }
        fs::remove(data);
    }
    for (const auto& folder : folders) {
        (*tree)[prefix + folder.m_folderName] = "<dir>";
        cloudTreeOf(folder.m_folderID, prefix + folder.m_folderName + "/", tree);
    }
}

SyncFolderPair::Tree SyncFolderPair::cloudTree() {
    Tree tree;
    std::string leaf;
    // The walk to "<folder>/" ends at the task's cloud folder, however deep it lies.
    std::string id = cloudFolder_.empty() ? "0" : cloudParentOf("", &leaf);
    cloudTreeOf(id, "", &tree);
    return tree;
}

SyncFolderPair::Tree SyncFolderPair::snapshot(bool local) {
    Tree tree;
    auto db = task_->taskDb();
    std::string root = local ? localRoot_.string() : cloudRoot();
    auto rootRow = db->getFolderUsingPath(root, local);
    if (!rootRow)
        return tree;
    std::function<void(const std::string&)> walk = [&](const std::string& id) {
        for (const auto& file : db->getFileObjectsForDirectory(id, local))
            tree[relativeTo(file.itemPath, root)] = std::to_string(file.modificationDate);
        for (const auto& folder : db->getFolderbjectsForDirectory(id, local)) {
            tree[relativeTo(folder.itemPath, root)] = "<dir>";
            walk(folder.itemID);
        }
    };
    walk(rootRow->itemID);
    return tree;
}

SyncFolderPair::Tree SyncFolderPair::trash() const {
    Tree tree;
    if (!fs::exists(trashRoot_ / "info"))
        return tree;
    for (const auto& entry : fs::directory_iterator(trashRoot_ / "info")) {
        std::string info = readFile(entry.path());
        auto at = info.find("Path=");
        std::string path = info.substr(at + 5, info.find('\n', at) - at - 5);
        std::string name = entry.path().stem().string();
        fs::path file = trashRoot_ / "files" / name;
        tree[relativeTo(path, localRoot_.string())] =
            fs::is_directory(file) ? "<dir>" : readFile(file);
    }
    return tree;
}

std::string SyncFolderPair::logText() const {
    std::lock_guard lock(log_->m);
    std::string text;
    for (const auto& line : log_->lines)
        text += line + "\n";
    return text;
}

bool SyncFolderPair::logHas(const std::string& part) const {
    return logText().find(part) != std::string::npos;
}

void SamAccountSuite::SetUpTestSuite() {
    home_ = new bvtest::ScopedHome();
    BVLogging::setupWithPrefix("KH");
    bvtest::ReferenceServer::Options options;
    options.seed = nlohmann::json::array({{{"username", "sam"}, {"password", "pw-sam"}}});
    server_ = new bvtest::ReferenceServer(options);
}

void SamAccountSuite::TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete home_;
    home_ = nullptr;
}

}  // namespace khtest
