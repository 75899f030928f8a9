#include "Keelhaven/SyncEngine/SyncEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "BVApi/Content/BVItemNames.h"
#include "Keelhaven/SyncBackTaskExecutor/DirectoryEnumerator.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncBackupSift.h"
#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"
#include "platform/Format.h"
#include "platform/OperationQueue.h"
#include "platform/UniqueFd.h"

namespace {

using Action = SyncBackupActionItem;

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool beginsWith(const std::string& text, const std::string& head) {
    return text.compare(0, head.size(), head) == 0;
}

bool readAt(int fd, uint8_t* buffer, size_t length, int64_t offset) {
    while (length > 0) {
        ssize_t n = ::pread(fd, buffer, length, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// The service's count after "Incorrect chunk offset: uploaded=", up to the next ",".
std::optional<uint64_t> uploadedCount(const std::string& reason) {
    static const std::string kHead = "Incorrect chunk offset: uploaded=";
    auto at = reason.find(kHead);
    if (at == std::string::npos)
        return std::nullopt;
    std::string digits = reason.substr(at + kHead.size());
    digits = digits.substr(0, digits.find(','));
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(digits);
}

bool isControl(const std::string& name, size_t i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x20 || byte == 0x7F)
        return true;
    // U+0080 to U+009F in UTF-8.
    return byte == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(name[i + 1]) <= 0x9F;
}

// Why a name from the service cannot be one entry of the local folder; empty when it can.
std::string whyUnwritable(const std::string& name) {
    if (name.empty())
        return "an empty name";
    if (name == "." || name == "..")
        return "the name of a folder itself";
    if (contains(name, "/"))
        return "a \"/\" in it";
    for (size_t i = 0; i < name.size(); ++i)
        if (isControl(name, i))
            return "a control character in it";
    if (name.size() > BVItemNames::kMaxNameBytes)
        return "more than " + std::to_string(BVItemNames::kMaxNameBytes) + " bytes";
    if (beginsWith(name, LocalTree::kPartPrefix))
        return "the name of a partial download";
    return "";
}

// A name as a log line may hold it: control characters as \xNN, a long one cut short.
std::string shownName(const std::string& name) {
    constexpr size_t kShown = 80;
    std::string shown;
    size_t i = 0;
    for (; i < name.size() && shown.size() < kShown; ++i) {
        if (!isControl(name, i)) {
            shown += name[i];
            continue;
        }
        if (static_cast<unsigned char>(name[i]) == 0xC2)
            ++i;  // the code point is the second byte
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X",
                      static_cast<unsigned>(static_cast<unsigned char>(name[i])));
        shown += escaped;
    }
    if (i < name.size()) {
        // Not within a character.
        while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80)
            shown.pop_back();
        if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0)
            shown.pop_back();
        shown += "... (" + std::to_string(name.size()) + " bytes)";
    }
    return shown;
}

}  // namespace

std::unique_ptr<SyncBackupEngine> makeSyncEngine(SyncBackupTask& task,
                                                 const SyncRunEnvironment& environment) {
    return std::make_unique<SyncEngine>(task, environment);
}

SyncEngine::SyncEngine(SyncBackupTask& task, SyncRunEnvironment environment, std::string localRoot)
    : m_task(task),
      environment_(std::move(environment)),
      db_(task.taskDb()),
      filter_(task.getFilterDictionary()),
      localRoot_(std::move(localRoot)) {}

SyncEngine::SyncEngine(SyncBackupTask& task, SyncRunEnvironment environment, std::string localRoot,
                       std::shared_ptr<RunShared> run)
    : SyncEngine(task, std::move(environment), std::move(localRoot)) {
    run_ = std::move(run);
}

void SyncEngine::log(const std::string& line) const {
    m_task.log(line);
}

bool SyncEngine::stopped() const {
    return m_task.isStopped();
}

void SyncEngine::sleepFor(double seconds) const {
    m_task.context()->clock->sleepFor(seconds);
}

void SyncEngine::waitWhilePaused() const {
    while (m_task.isPaused() && !m_task.isStopped())
        sleepFor(kPausePollSeconds);
}

std::string SyncEngine::session() const {
    return environment_.currentUser().m_sessionId;
}

bool SyncEngine::isSecure() const {
    return beginsWith(m_fromFolder, kSecureFolder) || beginsWith(m_toFolder, kSecureFolder);
}

std::string SyncEngine::localChild(const std::string& name) const {
    return BrimvaultApiClient::childPath(localPath_, name);
}

std::string SyncEngine::cloudChild(const std::string& name) const {
    return BrimvaultApiClient::childPath(cloudPath_, name);
}

std::string SyncEngine::cloudFolderID() const {
    const FileSystemObjects& cloud = m_isFromCloudFolder ? _FromFolder : _ToFolder;
    if (auto folder = cloud.folder())
        return folder->m_folderID;
    return cloud.itemID;
}

void SyncEngine::countError() {
    std::lock_guard lock(engineLock_);
    ++m_errorCount;
    m_task.addError(1);
}

bool SyncEngine::startEngineWithFromFolder(const FileSystemObjects& fromFolder,
                                           const FileSystemObjects& toFolder, bool isCloudFolder,
                                           std::vector<FileSystemObjects>* taskFilesOut,
                                           double factor) {
    log("startEngineWithFromFolder entered");
    if (!run_)
        run_ = std::make_shared<RunShared>();
    progressFactor = factor;
    m_isSync = m_task.isSynchronizeTask();
    _FromFolder = fromFolder;
    _ToFolder = toFolder;
    // The records are this level's own: the listing refreshes the cloud stamp in place.
    if (auto folder = fromFolder.folder())
        _FromFolder.object = std::make_shared<BrimvaultFolder>(*folder);
    if (auto folder = toFolder.folder())
        _ToFolder.object = std::make_shared<BrimvaultFolder>(*folder);
    m_fromFolder = fromFolder.itemPath;
    m_toFolder = toFolder.itemPath;
    if (stopped())
        return true;
    waitWhilePaused();
    if (stopped())
        return true;
    m_isFromCloudFolder = isCloudFolder;
    FileSystemObjects& cloud = isCloudFolder ? _FromFolder : _ToFolder;
    FileSystemObjects& local = isCloudFolder ? _ToFolder : _FromFolder;
    cloudPath_ = cloud.itemPath;
    localPath_ = local.itemPath;
    if (localRoot_.empty())
        localRoot_ = localPath_;
    tree_ = std::make_unique<LocalTree>(localRoot_, environment_.trashRoot);
    auto cloudRecord = cloud.folder();
    int64_t levelStamp = cloudRecord ? cloudRecord->m_lastupdate : 0;
    const int64_t storedStamp = levelStamp;
    m_accessDirID = cloudRecord ? cloudRecord->m_accessDirId : "";

    Listing localLive, cloudLive;
    std::vector<FileSystemObjects> localChanges, cloudChanges;
    std::string error;
    auto failLevel = [&] {
        countError();
        return false;
    };
    if (m_isSync) {
        if (!getChanges(local, false, &localLive, &localChanges, &error) ||
            !getChanges(cloud, true, &cloudLive, &cloudChanges, &error))
            return failLevel();
    } else {
        // A backup's destination only tells what was removed there by hand: those items are
        // forgotten, so that the source side sees them as new in this same run.
        FileSystemObjects& destination = isCloudFolder ? local : cloud;
        FileSystemObjects& source = isCloudFolder ? cloud : local;
        Listing& destinationLive = isCloudFolder ? localLive : cloudLive;
        Listing& sourceLive = isCloudFolder ? cloudLive : localLive;
        std::vector<FileSystemObjects> destinationChanges;
        if (!getChanges(destination, !isCloudFolder, &destinationLive, &destinationChanges, &error))
            return failLevel();
        for (const auto& change : destinationChanges)
            if (change.changeType == BrimvaultFSComparator::kDeleted)
                removeFromDBItem(change);
        std::vector<FileSystemObjects>& sourceChanges = isCloudFolder ? cloudChanges : localChanges;
        if (!getChanges(source, isCloudFolder, &sourceLive, &sourceChanges, &error))
            return failLevel();
    }

    cloudFileIDs_.clear();
    for (const auto& file : cloudLive.files)
        cloudFileIDs_.emplace(file.itemName, file.itemID);
    std::vector<std::string> clashes;
    auto actions = Action::getListofSyncBackupActionItemList(localChanges, cloudChanges, &clashes);
    for (const auto& name : clashes) {
        log(bv::format("!! %@ is a folder on one side and a file on the other; left as it is.",
                       localChild(name)));
        countError();
    }
    size_t subfolders = std::min(localLive.folders.size(), cloudLive.folders.size());
    oneItemProgress = progressFactor / static_cast<double>(actions.size() + subfolders + 1);
    m_errorCount = 0;
    applyChanges(actions);

    if (m_errorCount.load() == 0 && cloudLive.refused == 0 && cloudRecord)
        levelStamp = cloud.folder()->m_lastupdate;
    // An unchanged stamp is not written again: on a run with nothing to do, that write was
    // the only one of the level, and committing it cost more than the level's listing.
    if (db_ && cloudRecord && levelStamp != storedStamp)
        db_->updateLastUpdateTime(cloudRecord->m_folderID, levelStamp);
    if (actions.empty()) {
        log("applying direct progress");
        m_task.taskDidProgress(oneItemProgress);
    }
    m_task.addItemProcessed(static_cast<int64_t>(actions.size()));
    if (db_)
        db_->endTransaction(true);

    if (!db_)
        return true;
    const FileSystemObjects& destination = _ToFolder;
    std::string id = destination.folder() ? destination.folder()->m_folderID : destination.itemID;
    auto fromSubfolders = db_->getFolderbjectsForDirectory(id, /*local=*/!isCloudFolder);
    auto toSubfolders = db_->getFolderbjectsForDirectory(id, /*local=*/isCloudFolder);
    if (fromSubfolders.size() != toSubfolders.size()) {
        log("[SyncEngine ]Warning!!! fromFolder folders from db doesn't match toFolder folders");
        return true;
    }
    descend(std::move(fromSubfolders), std::move(toSubfolders), isCloudFolder, taskFilesOut,
            std::trunc(oneItemProgress));
    return true;
}

void SyncEngine::descend(std::vector<FileSystemObjects> fromSubfolders,
                         std::vector<FileSystemObjects> toSubfolders, bool isCloudFolder,
                         std::vector<FileSystemObjects>* taskFilesOut, double factor) {
    if (fromSubfolders.empty())
        return;
    const bool top = run_->levels == nullptr;
    std::unique_ptr<bv::OperationQueue> levels;
    if (top) {
        levels = std::make_unique<bv::OperationQueue>("sync levels", workerCount());
        run_->levels = levels.get();
    }
    for (size_t i = 0; i < fromSubfolders.size(); ++i) {
        {
            std::lock_guard lock(run_->pendingLock);
            ++run_->pending;
        }
        SyncBackupTask* task = &m_task;
        run_->levels->addOperation([run = run_, task, environment = environment_, root = localRoot_,
                                    from = fromSubfolders[i], to = toSubfolders[i], isCloudFolder,
                                    taskFilesOut, factor] {
            // Not one level more once the run is stopped.
            if (!task->isStopped()) {
                try {
                    SyncEngine child(*task, environment, root, run);
                    child.startEngineWithFromFolder(from, to, isCloudFolder, taskFilesOut, factor);
                } catch (const std::exception& e) {
                    task->log(
                        bv::format("!! Sync of folder %@ failed: %@", from.itemPath, e.what()));
                    task->addError(1);
                }
            }
            // The last touch of the shared state: the top level may end the run right after.
            std::lock_guard lock(run->pendingLock);
            if (--run->pending == 0)
                run->levelsDone.notify_all();
        });
    }
    if (!top)
        return;
    {
        std::unique_lock lock(run_->pendingLock);
        run_->levelsDone.wait(lock, [&] { return run_->pending == 0; });
    }
    // Shutdown order: the level workers (all idle now), then, with this engine, the action
    // workers.
    run_->levels = nullptr;
    levels.reset();
}

bool SyncEngine::getChanges(FileSystemObjects& folder, bool isCloud, Listing* live,
                            std::vector<FileSystemObjects>* changes, std::string* error) {
    DirectoryEnumerator liveLister(
        isCloud ? DirectoryEnumerator::kCloud : DirectoryEnumerator::kLocal, environment_.api.get(),
        session(), m_task.context()->clock);
    auto record = folder.folder();
    int64_t stampBefore = record ? record->m_lastupdate : 0;
    if (!liveLister.getDirectoryListing(folder, &live->files, &live->folders, db_.get(), error)) {
        log(bv::format("!! Failed to fetch dirlist for directory %@: Reason %@.", folder.itemPath,
                       *error));
        return false;
    }
    if (isCloud)
        refuseHostileNames(*live, liveLister.leftOut());
    else
        refuseCaseTwins(*live);
    Listing snapshot;
    DirectoryEnumerator snapshotLister(isCloud ? DirectoryEnumerator::kCloudSnapshot
                                               : DirectoryEnumerator::kLocalSnapshot);
    if (!snapshotLister.getDirectoryListing(folder, &snapshot.files, &snapshot.folders, db_.get(),
                                            error)) {
        log(bv::format("!! fetch dirlist for directory %@ from database: Reason %@.",
                       folder.itemPath, *error));
        return false;
    }
    changes->clear();
    if (isCloud && record && stampBefore != 0 && record->m_lastupdate == stampBefore)
        return true;
    *changes = BrimvaultFSComparator::getFileSystemChanges(snapshot.files, live->files);
    auto folderChanges =
        BrimvaultFSComparator::getFileSystemChanges(snapshot.folders, live->folders);
    changes->insert(changes->end(), folderChanges.begin(), folderChanges.end());
    BrimvaultFSComparator::sortByName(*changes);
    return true;
}

void SyncEngine::refuseHostileNames(Listing& listing, const BrimvaultApiClient::LeftOut& leftOut) {
    auto refuse = [&](const std::string& name, const std::string& why) {
        log(
            bv::format("!! Refused item \"%@\" of %@ on Brimvault: its name cannot be written "
                       "safely to the local disk (%@).",
                       shownName(name), cloudPath_, why));
        ++listing.refused;
        countError();
    };
    // The service client's listing has already left these out; this is where the run says so.
    for (const auto& name : leftOut.names) {
        const std::string why = whyUnwritable(name);
        refuse(name, why.empty() ? "an identifier no item may carry" : why);
    }
    if (leftOut.entries > leftOut.names.size()) {
        const size_t unread = leftOut.entries - leftOut.names.size();
        log(bv::format("!! %@ item(s) of %@ on Brimvault could not be read and are left out.",
                       std::to_string(unread), cloudPath_));
        listing.refused += unread;
        countError();
    }
    auto hostile = [&](const FileSystemObjects& item) {
        const std::string why = whyUnwritable(item.itemName);
        if (!why.empty())
            refuse(item.itemName, why);
        return !why.empty();
    };
    std::erase_if(listing.files, hostile);
    std::erase_if(listing.folders, hostile);
}

void SyncEngine::refuseCaseTwins(Listing& listing) {
    // The service takes names without regard to case; two local names that differ only in
    // case would overwrite each other there.
    std::vector<FileSystemObjects*> all;
    for (auto& item : listing.files)
        all.push_back(&item);
    for (auto& item : listing.folders)
        all.push_back(&item);
    std::stable_sort(all.begin(), all.end(), [](const auto* a, const auto* b) {
        int order = compareNamesIgnoringCase(a->itemName, b->itemName);
        return order != 0 ? order < 0 : a->itemName < b->itemName;
    });
    std::vector<std::string> leftOut;
    for (size_t i = 1; i < all.size(); ++i) {
        if (compareNamesIgnoringCase(all[i - 1]->itemName, all[i]->itemName) != 0)
            continue;
        log(
            bv::format("!! %@ and %@ differ only in case; the service cannot keep both, so %@ "
                       "is left out.",
                       localChild(all[i - 1]->itemName), localChild(all[i]->itemName),
                       localChild(all[i]->itemName)));
        countError();
        leftOut.push_back(all[i]->itemName);
        all[i] = all[i - 1];
    }
    auto isLeftOut = [&](const FileSystemObjects& item) {
        return std::find(leftOut.begin(), leftOut.end(), item.itemName) != leftOut.end();
    };
    std::erase_if(listing.files, isLeftOut);
    std::erase_if(listing.folders, isLeftOut);
}

void SyncEngine::applyChanges(std::vector<SyncBackupActionItem>& actions) {
    if (actions.empty())
        return;
    const int workers = workerCount();
    std::shared_ptr<bv::OperationQueue> queue;
    {
        std::lock_guard lock(run_->pendingLock);
        if (!run_->actions)
            run_->actions = std::make_shared<bv::OperationQueue>("sync actions", workers);
        queue = run_->actions;
    }
    queue->setMaxConcurrentOperationCount(workers);
    // Other levels' actions share the workers: this level waits for its own only.
    struct Left {
        std::mutex lock;  // guards count
        std::condition_variable none;
        size_t count = 0;
    };
    auto left = std::make_shared<Left>();
    left->count = actions.size();
    for (auto& action : actions) {
        queue->addOperation([this, &action, left] {
            try {
                apply(action);
            } catch (const std::exception& e) {
                log(bv::format("!! %@ failed: %@", action.fileSystemObject.itemName, e.what()));
                countError();
            }
            std::lock_guard lock(left->lock);
            if (--left->count == 0)
                left->none.notify_all();
        });
    }
    std::unique_lock lock(left->lock);
    left->none.wait(lock, [&] { return left->count == 0; });
}

int SyncEngine::workerCount() const {
    int workers = m_task.threadCount();
    return workers < 1 ? kDefaultWorkers : workers;
}

void SyncEngine::apply(SyncBackupActionItem& action) {
    if (stopped())
        return;
    waitWhilePaused();
    if (stopped())
        return;
    const auto& item = action.fileSystemObject;
    bool ok = true;
    switch (action.actionType) {
        case Action::kDeleteLocal:
            if (!m_isSync)
                return;
            log(bv::format("%@ will be deleted from local", item.itemName));
            ok = deleteLocalItem(item);
            break;
        case Action::kDeleteCloud:
            if (!m_isSync)
                return;
            log(bv::format("%@ will be deleted from brimvault", item.itemName));
            ok = deleteCloudItem(item);
            break;
        case Action::kCreateLocal:
            log(bv::format("%@ downloaded to local", item.itemName));
            ok = createLocalItem(action);
            break;
        case Action::kCreateCloud:
            log(bv::format("%@ uploaded to BV", item.itemName));
            ok = createCloudItem(action);
            break;
        default:
            log(bv::format("%@ insert into to db", item.itemName));
            ok = createDbRecord(item);
            break;
    }
    if (!ok)
        countError();
}

void SyncEngine::recordFile(const FileSystemObjects& item, const std::string& id) {
    if (!db_)
        return;
    BrimvaultFile record;
    if (auto file = item.file())
        record = *file;
    record.m_filename = item.itemName;
    record.m_fileID = id;
    record.m_size = item.itemSize;
    record.m_modifiedDate = item.modificationDate;
    record.m_parentFolderId = cloudFolderID();
    record.m_accessDirId = m_accessDirID;
    record.m_path = cloudChild(item.itemName);
    db_->insertCloudFile(record);
    record.m_path = localChild(item.itemName);
    db_->insertLocalFile(record);
}

void SyncEngine::recordFolder(const FileSystemObjects& item, const std::string& id) {
    if (!db_)
        return;
    BrimvaultFolder record;
    record.m_folderName = item.itemName;
    record.m_folderID = id;
    record.m_parentFolderId = cloudFolderID();
    record.m_accessDirId = m_accessDirID;
    record.m_path = cloudChild(item.itemName);
    db_->insertCloudFolder(record);
    record.m_path = localChild(item.itemName);
    record.m_isLocal = true;
    db_->insertLocalFolder(record);
}

bool SyncEngine::forgetFile(const std::string& name) {
    if (!db_)
        return true;
    return db_->deleteFileAtPath(cloudChild(name), false) &&
           db_->deleteFileAtPath(localChild(name), true);
}

void SyncEngine::removeFromDBItem(const FileSystemObjects& item) {
    if (!db_)
        return;
    if (item.isFolder) {
        db_->deleteFolder(item.itemID, true);
        db_->deleteFolder(item.itemID, false);
    } else {
        db_->deleteFile(item.itemID, true);
        db_->deleteFile(item.itemID, false);
    }
}

bool SyncEngine::createDbRecord(const FileSystemObjects& item) {
    if (item.isFolder)
        recordFolder(item, item.itemID);
    else
        recordFile(item, item.itemID);
    m_task.taskDidProgress(oneItemProgress);
    return true;
}

bool SyncEngine::deleteLocalItem(const FileSystemObjects& item) {
    std::string path = localChild(item.itemName);
    std::string trashedAs, error;
    const char* kind = item.isFolder ? "Folder" : "File";
    if (!tree_->trash(tree_->relative(path), &trashedAs, &error)) {
        log(bv::format(item.isFolder ? "!! Delete Folder %@ on local machine Failed. Reason %@"
                                     : "!! Delete File %@ on local machine Failed. Reason: %@",
                       path, error));
        return false;
    }
    removeFromDBItem(item);
    log(bv::format("Delete %@ %@ on local machine. Succeeded", kind, path));
    if (!trashedAs.empty())
        log(bv::format("%@ was moved to the Trash as %@", path, trashedAs));
    m_task.taskDidProgress(oneItemProgress);
    return true;
}

bool SyncEngine::deleteCloudItem(const FileSystemObjects& item) {
    std::string path = cloudChild(item.itemName);
    std::string reason;
    bool ok = item.isFolder ? environment_.api->doDeleteAFolder(item.itemID, path, session(),
                                                                m_accessDirID, &reason)
                            : environment_.api->doDeleteAFile(item.itemID, path, session(),
                                                              m_accessDirID, &reason);
    const char* kind = item.isFolder ? "Folder" : "File";
    if (!ok) {
        log(bv::format("!! Delete %@ %@ on Brimvault Failed. Reason %@", kind, path, reason));
        return false;
    }
    removeFromDBItem(item);
    log(bv::format("Delete %@ %@ on Brimvault. Succeeded", kind, path));
    m_task.taskDidProgress(oneItemProgress);
    return true;
}

bool SyncEngine::createLocalItem(const SyncBackupActionItem& action) {
    const auto& item = action.fileSystemObject;
    bool isLink = !item.symlinkTarget.empty();
    if ((filter_.isExcludeFilter || !item.isFolder) &&
        filter_.shouldFilterFile(item.itemName, isLink && !item.isFolder)) {
        log(bv::format("File %@ is filtered.", item.itemName));
        return true;
    }
    return item.isFolder ? createLocalFolder(item) : createLocalFile(action);
}

bool SyncEngine::createLocalFolder(const FileSystemObjects& item) {
    std::string path = localChild(item.itemName);
    std::string error;
    bool ok = tree_->makeFolder(tree_->relative(path), &error);
    if (ok) {
        recordFolder(item, item.itemID);
        log(bv::format("Create Folder %@ to local machine. Succeeded", path));
    } else {
        log(bv::format("!! Create Folder %@ to local machine Failed. Reason %@", path, error));
    }
    m_task.taskDidProgress(oneItemProgress);
    return ok;
}

bool SyncEngine::createLocalFile(const SyncBackupActionItem& action) {
    const auto& item = action.fileSystemObject;
    std::string path = localChild(item.itemName);
    std::string relative = tree_->relative(path);
    std::string error;
    bv::UniqueFd parent;
    std::string partName, partPath;
    if (!tree_->createPart(relative, item.itemID, &parent, &partName, &partPath, &error)) {
        log(bv::format("!! Download File %@ to local machine. Failed. Couldn't create file at %@",
                       item.itemName, path));
        return false;
    }
    std::string target;
    std::string reason;
    bool ok =
        environment_.api->doDownloadFile(partPath, item.itemID, false, &target, session(),
                                         item.modificationDate, m_accessDirID, nullptr, &reason);
    std::string replaced;
    if (!ok && reason == BrimvaultApiClient::kFileIsSymlink) {
        ::unlinkat(parent.get(), partName.c_str(), 0);
        bool allowed = m_task.record().value(kAllowOutsideLinksKey, false);
        if (tree_->linkLeavesRoot(relative, target) && !allowed) {
            log(
                bv::format("!! Download Symlink %@ to local machine failed. Reason: its target "
                           "%@ lies outside the task's folder.",
                           path, target));
            return false;
        }
        if (tree_->linkLeavesRoot(relative, target))
            log(bv::format("Symbolic link %@ points outside the task's folder, to %@", path,
                           target));
        if (!tree_->makeLink(relative, target, item.modificationDate, &replaced, &error)) {
            log(bv::format("!! Download Symlink %@ to local machine failed.", path));
            return false;
        }
        FileSystemObjects link = item;
        link.symlinkTarget = target;
        recordFile(link, item.itemID);
        log(bv::format("Download File (symbolic link) %@ to local machine. Succeeded", path));
    } else if (!ok) {
        ::unlinkat(parent.get(), partName.c_str(), 0);
        log(bv::format("!! Download File %@ to local machine failed. Reason %@", path, reason));
        return false;
    } else {
        if (beginsWith(cloudPath_, kSecureFolder) && !environment_.decrypt &&
            !environment_.decryptStream) {
            ::unlinkat(parent.get(), partName.c_str(), 0);
            log(bv::format("!! Download File %@ to local machine failed. Reason %@", path,
                           "the secure folder is not open"));
            return false;
        }
        if (beginsWith(cloudPath_, kSecureFolder)) {
            // Decrypted in pieces into a second part file, which replaces the first.
            std::string plainName = partName + "D";
            bv::UniqueFd in(::openat(parent.get(), partName.c_str(), O_RDONLY | O_NOFOLLOW));
            bv::UniqueFd out(::openat(parent.get(), plainName.c_str(),
                                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600));
            bool decrypted = in && out;
            uint8_t buffer[4096];
            bv::Data pending;
            ssize_t n = 0;
            while (decrypted && (n = ::read(in.get(), buffer, sizeof buffer)) > 0) {
                bv::Data plain;
                if (environment_.decryptStream) {
                    pending.append(buffer, static_cast<size_t>(n));
                    decrypted = environment_.decryptStream(pending, &plain);
                } else {
                    decrypted =
                        environment_.decrypt(bv::Data(buffer, static_cast<size_t>(n)), &plain);
                }
                decrypted = decrypted && ::write(out.get(), plain.bytes(), plain.size()) ==
                                             static_cast<ssize_t>(plain.size());
            }
            // A read error or a stream that ends inside a record is no whole file.
            decrypted = decrypted && n == 0 && pending.size() == 0;
            struct timespec times[2] = {{item.modificationDate, 0}, {item.modificationDate, 0}};
            if (decrypted)
                ::futimens(out.get(), times);
            ::unlinkat(parent.get(), partName.c_str(), 0);
            if (!decrypted) {
                ::unlinkat(parent.get(), plainName.c_str(), 0);
                log(bv::format("!! Download File %@ to local machine failed. Reason %@", path,
                               "cannot decrypt"));
                return false;
            }
            partName = plainName;
        }
        if (!tree_->installPart(parent.get(), partName, relative, &replaced, &error)) {
            log(bv::format("!! Download File %@ to local machine failed. Reason %@", path, error));
            return false;
        }
        recordFile(item, item.itemID);
        log(bv::format("Download File %@ to local machine. Succeeded", path));
    }
    if (!replaced.empty())
        log(bv::format(action.conflict ? "Conflict: %@ changed on both sides; the older local "
                                         "copy was moved to the Trash as %@"
                                       : "%@: the replaced local copy was moved to the Trash as %@",
                       path, replaced));
    m_task.taskDidProgress(oneItemProgress);
    return true;
}

bool SyncEngine::createCloudItem(const SyncBackupActionItem& action) {
    const auto& item = action.fileSystemObject;
    std::string path = cloudChild(item.itemName);
    if (SyncBackupSift::shouldFileBeSiftedOut(item.itemName)) {
        log(
            bv::format("!! CreateFile for File %@ On Brimvault Failed. Reason: Filename cannot "
                       "contain any of the following characters \\ / : * ? \" < > |",
                       path));
        return false;
    }
    bool isLink = !item.symlinkTarget.empty();
    if ((filter_.isExcludeFilter || !item.isFolder) &&
        filter_.shouldFilterFile(item.itemName, isLink && !item.isFolder)) {
        log(bv::format("File %@ is filtered.", item.itemName));
        return true;
    }
    if (item.isFolder)
        return createCloudFolder(item);
    if (action.conflict && !action.counterpart.itemID.empty()) {
        // The service copy loses to a newer local one: it is kept in the service's trash,
        // and only then is the local copy sent. A run that ends in between (killed, or the
        // upload failed) must not leave a snapshot that reads the missing service copy as
        // deleted there, which would move the winner to the local Trash: the file's rows
        // go first, committed, so the next run sees a local file never synced and sends it.
        if (!forgetFile(item.itemName) || (action.counterpart.itemName != item.itemName &&
                                           !forgetFile(action.counterpart.itemName))) {
            log(bv::format("!! CreateFile for File %@ On Brimvault Failed. Reason: %@", path,
                           "the snapshot cannot be written"));
            return false;
        }
        std::string reason;
        if (environment_.api->doDeleteAFile(action.counterpart.itemID, path, session(),
                                            m_accessDirID, &reason)) {
            log(
                bv::format("Conflict: %@ changed on both sides; the older copy on Brimvault was "
                           "moved to its trash",
                           path));
        } else if (reason != BrimvaultApiClient::kNoSuchItem) {
            // Sending now would write over the older copy instead of keeping it.
            log(
                bv::format("!! Conflict: %@ changed on both sides; the older copy on Brimvault "
                           "could not be moved to its trash. Reason %@",
                           path, reason));
            return false;
        }
    }
    return createCloudFile(action);
}

bool SyncEngine::createCloudFolder(const FileSystemObjects& item) {
    std::string path = cloudChild(item.itemName);
    std::string parentID = cloudFolderID();
    std::string reason;
    std::string id;
    bool ok = false;
    auto folder = environment_.api->doCreateDirectory(parentID, cloudPath_, item.itemName,
                                                      session(), m_accessDirID, &reason);
    if (folder) {
        id = folder->m_folderID;
        ok = true;
        log(bv::format("Create Directory %@ (folId: %@, parentId: %@) On Brimvault. Succeeded.",
                       path, id, parentID));
    } else if (reason == BrimvaultApiClient::kItemExists) {
        bool isFolder = false;
        std::string lookup;
        if (environment_.api->doGetItemByName(item.itemName, &id, session(), parentID, &isFolder,
                                              m_accessDirID, &lookup) &&
            isFolder) {
            ok = true;
            log(
                bv::format("Create Directory %@ (folId: %@, parentId: %@) On Brimvault. Succeeded "
                           "(already exists).",
                           path, id, parentID));
        } else {
            log(
                bv::format("!! Create Directory %@ On Brimvault Failed. Reason: A file with same "
                           "name exists on Brimvault.",
                           path));
        }
    } else {
        log(bv::format("!! Create Directory %@ On Brimvault Failed. Reason: %@.", path, reason));
    }
    if (ok)
        recordFolder(item, id);
    m_task.taskDidProgress(oneItemProgress);
    return ok;
}

bool SyncEngine::createCloudFile(const SyncBackupActionItem& action) {
    const auto& item = action.fileSystemObject;
    std::string id, error;
    if (!uploadAFile(item, &id, &error))
        return false;
    recordFile(item, id);
    m_task.taskDidProgress(oneItemProgress);
    return true;
}

bool SyncEngine::uploadAFile(const FileSystemObjects& item, std::string* newID,
                             std::string* error) {
    std::string path = cloudChild(item.itemName);
    std::string parentID = cloudFolderID();
    if (isSecure() && !environment_.encrypt) {
        log(bv::format("!! UploadFile for File %@ On Brimvault Failed. Reason: %@", path,
                       "Folder 'Secure Files' is not authenticated. Please authenticate /Secure "
                       "Files Folder using Finder, and try again. "));
        return false;
    }
    bool isLink = !item.symlinkTarget.empty();
    int64_t size = isLink ? static_cast<int64_t>(item.symlinkTarget.size() +
                                                 BrimvaultApiClient::kSymlinkMarkerLength)
                          : item.itemSize;
    std::optional<BrimvaultApiClient::CreatedFile> created;
    std::string reason;
    for (int attempt = 0; attempt < kCreateBusyAttempts; ++attempt) {
        created = environment_.api->doCreateFile(parentID, item.itemName, size, session(),
                                                 m_accessDirID, &reason);
        if (created || !contains(reason, BrimvaultApiClient::kFolderBusy))
            break;
        sleepFor(kBusyDelay);
    }
    if (!created && reason == BrimvaultApiClient::kFileExists) {
        // The level's listing names it: an id gone stale since then fails to open, and the
        // lookup by name below finds the current one.
        auto listed = cloudFileIDs_.find(item.itemName);
        if (listed != cloudFileIDs_.end() && !listed->second.empty()) {
            std::string openReason;
            if (auto temp = environment_.api->doOpenFileForUpload(listed->second, session(),
                                                                  m_accessDirID, &openReason)) {
                created = BrimvaultApiClient::CreatedFile{};
                created->fileID = listed->second;
                created->tempLocation = *temp;
            }
        }
    }
    if (!created && (reason == BrimvaultApiClient::kFileExists ||
                     reason == BrimvaultApiClient::kParentTrashed)) {
        std::string existing;
        bool isFolder = false;
        std::string lookup;
        if (environment_.api->doGetItemByName(item.itemName, &existing, session(), parentID,
                                              &isFolder, m_accessDirID, &lookup)) {
            if (isFolder) {
                log(
                    bv::format("!! CreateFile for File %@ On Brimvault Failed. Reason: a folder "
                               "with same name exists on brimvault",
                               path));
                return false;
            }
            auto temp =
                environment_.api->doOpenFileForUpload(existing, session(), m_accessDirID, &reason);
            if (temp) {
                created = BrimvaultApiClient::CreatedFile{};
                created->fileID = existing;
                created->tempLocation = *temp;
            }
        }
    }
    if (!created) {
        log(bv::format("!! CreateFile for File %@ On Brimvault Failed. Reason: %@", path, reason));
        return false;
    }
    if (created->tempLocation.empty()) {
        log(
            bv::format("!! CreateFile for File %@ On Brimvault Failed. Reason: cannot create file "
                       "on cloud",
                       path));
        return false;
    }
    waitWhilePaused();
    int64_t sent = 0;
    uint64_t stored = 0;
    if (!sendChunks(item, created->fileID, created->tempLocation, &sent, &stored, error))
        return false;
    // A secure folder's file is stored as its records: the service counts those bytes.
    int64_t storedSize = isSecure() ? static_cast<int64_t>(stored) : size;
    if (sent != size) {
        log(bv::format("!! CloseUploadFile for File %@ to Brimvault Failed. Reason: %@.", path,
                       "The upload failed as file size mismatched."));
        return false;
    }
    std::optional<BrimvaultFile> closed;
    for (int attempt = 0; attempt < kCloseBusyAttempts; ++attempt) {
        closed = environment_.api->doCloseFileForUpload(
            created->fileID, item.itemName, storedSize, created->tempLocation, session(),
            item.modificationDate, parentID, created->compression == "Yes", m_accessDirID, &reason);
        if (closed || reason == BVApiClient::kAlreadyProcessedMessage)
            break;
        if (!contains(reason, BrimvaultApiClient::kFolderBusy))
            break;
        log("folder is busy - scheduling restart");
        sleepFor(kCloseBusyDelay);
    }
    if (!closed && reason != BVApiClient::kAlreadyProcessedMessage) {
        log(bv::format("!! CloseUploadFile for File %@ to Brimvault Failed. Reason: %@.", path,
                       reason));
        return false;
    }
    log(bv::format("UploadFile for File %@ to Brimvault. Succeeded.", path));
    *newID = created->fileID;
    return true;
}

bool SyncEngine::sendChunks(const FileSystemObjects& item, const std::string& fileID,
                            const std::string& tempLocation, int64_t* sentBytes,
                            uint64_t* streamBytes, std::string* error) {
    std::string path = cloudChild(item.itemName);
    std::string localPath = localChild(item.itemName);
    bool isLink = !item.symlinkTarget.empty();
    bv::UniqueFd fd;
    std::string linkContent;
    int64_t total = 0;
    if (isLink) {
        linkContent = std::string(BrimvaultApiClient::kSymlinkMarker) + item.symlinkTarget;
        total = static_cast<int64_t>(linkContent.size());
    } else {
        fd = bv::UniqueFd(::open(localPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            log(
                bv::format("!! UploadFile for File %@ On Brimvault Failed. Reason: Cannot open "
                           "file for reading.",
                           path));
            return false;
        }
        total = st.st_size;
    }
    int64_t limit = environment_.currentUser().uploadSpeedLimit;
    int64_t chunkSize = limit > 0 ? kLimitedChunkSize : kChunkSize;
    double minimalDelay = limit > 0 ? static_cast<double>(kLimitedChunkSize) / limit + 20 : 0;
    int retries = limit > 0 ? kRetriesWithLimit : kRetriesWithoutLimit;
    // Start of every confirmed chunk in the sent stream -> plain bytes sent before it.
    std::map<uint64_t, int64_t> chunkStarts;
    uint64_t streamOffset = 0;
    int64_t plainOffset = 0;
    while (plainOffset < total || (total == 0 && streamOffset == 0 && isLink)) {
        if (stopped()) {
            log("task is stopped");
            return false;
        }
        waitWhilePaused();
        int64_t length = isLink ? total : std::min(chunkSize, total - plainOffset);
        bv::Data chunk;
        if (isLink) {
            chunk = bv::Data::fromString(linkContent);
        } else {
            chunk.resize(static_cast<size_t>(length));
            if (!readAt(fd.get(), chunk.mutableBytes(), chunk.size(), plainOffset)) {
                log(
                    bv::format("!! UploadFile for File %@ On Brimvault Failed. Reason: Cannot "
                               "open file for reading.",
                               path));
                return false;
            }
        }
        if (isSecure()) {
            bv::Data sealed;
            if (!environment_.encrypt(chunk, &sealed)) {
                log(bv::format("!! UploadFile for File %@ On Brimvault Failed. Reason: %@", path,
                               "cannot encrypt"));
                return false;
            }
            chunk = std::move(sealed);
        }
        bool sent = false;
        bool recovered = false;
        std::string reason;
        int busyLeft = kBusyInARow;
        double delay = 0;
        for (int attempt = 0; attempt <= retries; ++attempt) {
            if (delay > 0)
                sleepFor(delay);
            log(bv::format("UploadFile attempt %i", attempt));
            if (environment_.api->doFileUpload(chunk, fileID, streamOffset, tempLocation, session(),
                                               m_accessDirID, false, nullptr, &reason)) {
                sent = true;
                break;
            }
            if (contains(reason, BrimvaultApiClient::kFolderBusy)) {
                if (--busyLeft == 0) {
                    // Taken as sent: a missing chunk shows up as an offset error next.
                    sent = true;
                    break;
                }
                sleepFor(kBusyDelay);
                attempt = -1;
                delay = 0;
                continue;
            }
            busyLeft = kBusyInARow;
            if (reason == BrimvaultApiClient::kRequestCancelled)
                break;
            log(bv::format("!! UploadFile attempt %i for File %@ to Brimvault Failed. Reason: %@.",
                           attempt, path, reason.empty() ? "Unknown error" : reason));
            if (auto uploaded = uploadedCount(reason)) {
                auto start = chunkStarts.find(*uploaded);
                if (start != chunkStarts.end()) {
                    streamOffset = start->first;
                    plainOffset = start->second;
                    recovered = true;
                    break;
                }
            }
            delay = std::max(kRetryDelay, minimalDelay);
            if (attempt < retries)
                log(bv::format("Retry attempt will start in %i minutes",
                               static_cast<int>(delay / 60)));
        }
        if (recovered)
            continue;
        if (!sent) {
            if (reason == BrimvaultApiClient::kRequestCancelled && m_task.isPaused()) {
                waitWhilePaused();
                continue;
            }
            if (reason == BrimvaultApiClient::kRequestCancelled) {
                log("task is stopped");
            } else {
                log("All attempts unsuccessful");
            }
            if (error)
                *error = reason;
            return false;
        }
        chunkStarts[streamOffset] = plainOffset;
        streamOffset += chunk.size();
        plainOffset += length;
        log(bv::format("Attempt %i successful. Offset: %llu. FileOffset: %llu.", 0, streamOffset,
                       plainOffset));
        if (isLink)
            break;
    }
    *sentBytes = isLink ? total : plainOffset;
    *streamBytes = streamOffset;
    return true;
}
