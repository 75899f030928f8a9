#include "BVApi/Controllers/BVUploadJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVUploadController.h"
#include "app/Logging/BVLogging.h"
#include "platform/UniqueFd.h"
#include "platform/UserInterface.h"
#include "platform/WholeFile.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordSuffix = ".upload";
constexpr const char* kCopySuffix = ".staged";

void syncPath(const fs::path& path, int flags) {
    if (bv::UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC)); fd)
        ::fsync(fd.get());
}

bv::Error posixError(int code, const std::string& reason) {
    return bv::Error("NSPOSIXErrorDomain", code, {{bv::kFailureReasonKey, reason}});
}

bool inFolder(const fs::path& folder, const std::string& path) {
    return fs::path(path).parent_path() == folder;
}

std::string recordText(const BVUploadJournal::Entry& entry) {
    const nlohmann::json record = {{"path", entry.path},
                                   {"identifier", entry.identifier},
                                   {"staged", entry.staged},
                                   {"size", entry.size},
                                   {"state", entry.state}};
    return record.dump();
}

}  // namespace

std::mutex BVUploadJournal::journalLock_;

BVUploadJournal::BVUploadJournal(const fs::path& cacheRoot) : folder_(cacheRoot / kFolderName) {
    std::error_code ignored;
    fs::create_directories(folder_, ignored);
    ::chmod(folder_.c_str(), 0700);
}

fs::path BVUploadJournal::recordPath(const std::string& id) const {
    return folder_ / (id + kRecordSuffix);
}

fs::path BVUploadJournal::copyPathFor(const std::string& id) const {
    return folder_ / (id + kCopySuffix);
}

std::string BVUploadJournal::newId() {
    std::lock_guard hold(journalLock_);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) +
           "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_);
}

bool BVUploadJournal::writeLocked(const Entry& entry, bv::Error* error) {
    // The record's name is durable only with its folder: the caller syncs it after.
    return bv::WholeFile::write(recordPath(entry.id).string(),
                                bv::Data::fromString(recordText(entry)), error);
}

BVUploadJournal::Rewrite BVUploadJournal::rewrite(const Entry& entry) {
    {
        std::lock_guard hold(journalLock_);
        // Under the lock its removal takes: a record removed before this never comes back.
        std::error_code failed;
        if (!fs::exists(recordPath(entry.id), failed))
            return Rewrite::Gone;
        if (!writeLocked(entry, nullptr))
            return Rewrite::Failed;
    }
    syncFolder();
    return Rewrite::Written;
}

void BVUploadJournal::syncFolder() {
    std::unique_lock hold(folderSyncLock_);
    const uint64_t mine = ++folderSyncsAsked_;
    while (folderSyncsDone_ < mine) {
        if (folderSyncRunning_) {
            folderSynced_.wait(hold);
            continue;
        }
        // This sync covers every request made so far, the ones waiting included.
        folderSyncRunning_ = true;
        const uint64_t covered = folderSyncsAsked_;
        hold.unlock();
        syncPath(folder_, O_RDONLY | O_DIRECTORY);
        hold.lock();
        folderSyncRunning_ = false;
        folderSyncsDone_ = covered;
        folderSynced_.notify_all();
    }
}

std::optional<std::string> BVUploadJournal::recordPending(Entry entry, bv::Error* error) {
    if (entry.id.empty())
        entry.id = newId();
    const std::string text = recordText(entry);
    const fs::path target = recordPath(entry.id);
    std::lock_guard hold(journalLock_);
    // One write of a new file: a process that dies later leaves it whole in the page cache.
    bv::UniqueFd fd(
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const bool written =
        fd && ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!written || ::close(fd.release()) != 0) {
        const int failure = errno;
        if (error)
            *error = posixError(failure, "The upload journal record " + target.string() +
                                             " cannot be written: " + std::strerror(failure));
        std::error_code ignored;
        fs::remove(target, ignored);
        return std::nullopt;
    }
    pending_[entry.id] = Pending{entry.staged, false};
    live_[entry.id] = Live{entry.path, ++generation_};
    return entry.id;
}

bool BVUploadJournal::makeDurable(const std::string& id, bv::Error* error) {
    std::string staged;
    {
        std::lock_guard hold(journalLock_);
        auto found = pending_.find(id);
        if (found == pending_.end())
            return true;  // durable from the start, or removed: the service has the file
        found->second.durable = true;
        staged = found->second.staged;
    }
    // The copy itself must be on disk before the record that points to it.
    if (!staged.empty())
        syncPath(staged, O_RDONLY);
    bv::UniqueFd fd(::open(recordPath(id).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::lock_guard hold(journalLock_);
        if (!pending_.count(id))
            return true;  // removed meanwhile
        const int failure = errno;
        if (error)
            *error = posixError(failure, "The upload journal record " + recordPath(id).string() +
                                             " cannot be synced: " + std::strerror(failure));
        return false;
    }
    if (::fsync(fd.get()) != 0) {
        const int failure = errno;
        if (error)
            *error = posixError(failure, "The upload journal record " + recordPath(id).string() +
                                             " cannot be synced: " + std::strerror(failure));
        return false;
    }
    syncFolder();
    std::lock_guard hold(journalLock_);
    pending_.erase(id);
    return true;
}

std::optional<std::string> BVUploadJournal::record(Entry entry, bv::Error* error) {
    if (entry.id.empty())
        entry.id = newId();
    {
        std::lock_guard hold(journalLock_);
        if (!writeLocked(entry, error))
            return std::nullopt;
        live_[entry.id] = Live{entry.path, ++generation_};
    }
    syncFolder();
    return entry.id;
}

bool BVUploadJournal::setState(const std::string& id, const std::string& state) {
    {
        std::lock_guard hold(journalLock_);
        // Read and written under the lock its removal takes, so that an upload that ends
        // (its record removed) between the two cannot leave a record behind.
        std::string why;
        auto entry = readRecord(recordPath(id), &why);
        if (!entry)
            return false;
        entry->id = id;
        entry->state = state;
        if (!writeLocked(*entry, nullptr))
            return false;
    }
    syncFolder();
    return true;
}

bool BVUploadJournal::removeLocked(const std::string& id) {
    std::error_code ignored;
    fs::remove(recordPath(id), ignored);
    fs::remove(copyPathFor(id), ignored);
    live_.erase(id);
    auto found = pending_.find(id);
    if (found == pending_.end())
        return true;
    const bool durable = found->second.durable;
    pending_.erase(found);
    return durable;
}

void BVUploadJournal::remove(const std::string& id) {
    bool durable;
    {
        std::lock_guard hold(journalLock_);
        durable = removeLocked(id);
    }
    // A record that reached the disk must leave it, or a later start would upload the file
    // again; one that never was synced needs no sync to go.
    if (durable)
        syncFolder();
}

uint64_t BVUploadJournal::generation() const {
    std::lock_guard hold(journalLock_);
    return generation_;
}

void BVUploadJournal::confirmed(const std::string& path, uint64_t mark, const std::string& id) {
    std::vector<std::string> retired;
    bool durable = false;
    {
        std::lock_guard hold(journalLock_);
        for (const auto& [other, live] : live_) {
            if (other != id && live.path == path && live.generation <= mark)
                retired.push_back(other);
        }
        for (const auto& other : retired)
            durable = removeLocked(other) || durable;
        if (!id.empty())
            durable = removeLocked(id) || durable;
    }
    for (const auto& other : retired)
        BVLog(
            "Upload journal record %@ of %@ retired: a later close of the file reached the "
            "service",
            other, path);
    if (durable)
        syncFolder();
}

std::optional<BVUploadJournal::Entry> BVUploadJournal::readRecord(const fs::path& file,
                                                                  std::string* why) {
    std::string text;
    {
        bv::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            why->clear();
            return std::nullopt;
        }
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
    }
    try {
        const auto record = nlohmann::json::parse(text);
        Entry entry;
        entry.id = file.stem().string();
        entry.path = record.at("path").get<std::string>();
        entry.identifier = record.value("identifier", std::string());
        entry.staged = record.at("staged").get<std::string>();
        entry.size = record.at("size").get<uint64_t>();
        entry.state = record.value("state", std::string(kClosing));
        return entry;
    } catch (const std::exception& e) {
        *why = e.what();
        return std::nullopt;
    }
}

std::vector<BVUploadJournal::Entry> BVUploadJournal::entries() const {
    std::vector<Entry> found;
    std::error_code failed;
    for (const auto& item : fs::directory_iterator(folder_, failed)) {
        if (item.path().extension() != kRecordSuffix)
            continue;
        std::string why;
        auto entry = readRecord(item.path(), &why);
        if (!entry && !why.empty()) {
            // A record is written under the lock: read again under it, it is whole then.
            std::lock_guard hold(journalLock_);
            entry = readRecord(item.path(), &why);
            if (!entry && !why.empty()) {
                std::error_code ignored;
                fs::rename(item.path(), item.path().string() + ".damaged", ignored);
            }
        }
        if (!entry) {
            if (!why.empty())
                BVLog("Upload journal record %@ is unreadable (%@); set aside",
                      item.path().string(), why);
            continue;
        }
        found.push_back(std::move(*entry));
    }
    std::sort(found.begin(), found.end(),
              [](const Entry& a, const Entry& b) { return a.id < b.id; });
    return found;
}

bool BVUploadJournal::secureCopy(Entry& entry, std::string* reason) {
    struct stat info {};
    if (entry.staged.empty() || ::stat(entry.staged.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
        *reason = "its staged copy is missing";
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) != entry.size) {
        *reason = "its staged copy is damaged (" + std::to_string(info.st_size) + " of " +
                  std::to_string(entry.size) + " bytes)";
        return false;
    }
    if (inFolder(folder_, entry.staged))
        return true;
    const fs::path copy = copyPathFor(entry.id);
    std::error_code failed;
    fs::copy_file(entry.staged, copy, fs::copy_options::overwrite_existing, failed);
    if (failed) {
        *reason = "its staged copy cannot be kept: " + failed.message();
        return false;
    }
    ::chmod(copy.c_str(), 0600);
    syncPath(copy, O_RDONLY);
    const std::string staged = entry.staged;
    entry.staged = copy.string();
    switch (rewrite(entry)) {
        case Rewrite::Written:
            return true;
        case Rewrite::Gone:
            // Its upload ended meanwhile.
            fs::remove(copy, failed);
            entry.staged = staged;
            reason->clear();
            return false;
        case Rewrite::Failed:
            break;
    }
    *reason = "the journal cannot be written";
    return false;
}

std::vector<BVUploadJournal::Resumed> BVUploadJournal::resumeJournal(
    const ControllerFactory& makeController, const Reporter& report) {
    std::vector<Entry> pending = entries();
    // Every copy is safe before the first upload starts: the store may be emptied next.
    std::vector<Entry> usable;
    std::vector<Resumed> results;
    for (Entry& entry : pending) {
        std::string reason;
        if (secureCopy(entry, &reason)) {
            usable.push_back(entry);
            continue;
        }
        if (reason.empty())
            continue;  // the record went meanwhile: nothing to resume
        BVLog("Upload of %@ cannot be resumed: %@", entry.path, reason);
        if (report) {
            report(entry, reason);
        } else {
            bv::UserInterface::current()->alert(
                "Upload could not be resumed",
                "The file \"" + BVVolumePath::lastComponent(entry.path) + "\" (" + entry.path +
                    ") was not uploaded: " + reason + ".",
                {"OK"});
        }
        remove(entry.id);
        results.push_back({entry, false, bv::Error::make(-995, reason)});
    }
    // Of several closes of one file only the last counts: an older copy sent after it, or
    // left to fail, would stand for the file instead of the newer one.
    std::map<std::string, std::string> newest;
    for (const Entry& entry : usable)
        newest[entry.path] = entry.id;
    for (const Entry& entry : usable) {
        if (newest[entry.path] != entry.id) {
            BVLog(
                "Upload of %@ from record %@ is not resumed: a later close of the file is instead",
                entry.path, entry.id);
            remove(entry.id);
            continue;
        }
        BVLog("Resuming the upload of %@ (%llu bytes)", entry.path,
              static_cast<unsigned long long>(entry.size));
        Resumed result{entry, false, bv::Error()};
        auto controller = makeController(entry.path);
        bv::Error error;
        const bool ready = controller && controller->openOrCreateFileError(&error);
        if (ready && controller->uploadWholeFile(entry.staged, entry.size)) {
            result.uploaded = true;
            remove(entry.id);
            BVLog("Resumed upload of %@ finished", entry.path);
        } else {
            result.error =
                controller && controller->uploadFailed() ? controller->uploadError() : error;
            setState(entry.id, kFailed);
            BVLog("Resumed upload of %@ failed: %@", entry.path, result.error.description());
        }
        if (controller)
            controller->closeFileError(nullptr);
        results.push_back(std::move(result));
    }
    return results;
}
