#include "BVApi/Controllers/BVUploadJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

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

bool inFolder(const fs::path& folder, const std::string& path) {
    return fs::path(path).parent_path() == folder;
}

}  // namespace

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

bool BVUploadJournal::write(const Entry& entry, bv::Error* error) const {
    const nlohmann::json record = {{"path", entry.path},
                                   {"identifier", entry.identifier},
                                   {"staged", entry.staged},
                                   {"size", entry.size},
                                   {"state", entry.state}};
    if (!bv::WholeFile::write(recordPath(entry.id).string(), bv::Data::fromString(record.dump()),
                              error))
        return false;
    // The record's name is durable only with its folder.
    syncPath(folder_, O_RDONLY | O_DIRECTORY);
    return true;
}

std::optional<std::string> BVUploadJournal::record(Entry entry, bv::Error* error) {
    if (entry.id.empty())
        entry.id = newId();
    std::lock_guard hold(journalLock_);
    if (!write(entry, error))
        return std::nullopt;
    return entry.id;
}

bool BVUploadJournal::setState(const std::string& id, const std::string& state) {
    for (Entry entry : entries()) {
        if (entry.id != id)
            continue;
        entry.state = state;
        std::lock_guard hold(journalLock_);
        return write(entry, nullptr);
    }
    return false;
}

void BVUploadJournal::remove(const std::string& id) {
    std::lock_guard hold(journalLock_);
    std::error_code ignored;
    fs::remove(recordPath(id), ignored);
    fs::remove(copyPathFor(id), ignored);
    syncPath(folder_, O_RDONLY | O_DIRECTORY);
}

std::vector<BVUploadJournal::Entry> BVUploadJournal::entries() const {
    std::vector<Entry> found;
    std::error_code failed;
    for (const auto& item : fs::directory_iterator(folder_, failed)) {
        if (item.path().extension() != kRecordSuffix)
            continue;
        Entry entry;
        entry.id = item.path().stem().string();
        try {
            bv::Error error;
            std::string text;
            {
                bv::UniqueFd fd(::open(item.path().c_str(), O_RDONLY | O_CLOEXEC));
                char buffer[4096];
                ssize_t n;
                while (fd && (n = ::read(fd.get(), buffer, sizeof buffer)) > 0)
                    text.append(buffer, static_cast<size_t>(n));
            }
            const auto record = nlohmann::json::parse(text);
            entry.path = record.at("path").get<std::string>();
            entry.identifier = record.value("identifier", std::string());
            entry.staged = record.at("staged").get<std::string>();
            entry.size = record.at("size").get<uint64_t>();
            entry.state = record.value("state", std::string(kClosing));
        } catch (const std::exception& e) {
            BVLog("Upload journal record %@ is unreadable (%@); set aside", item.path().string(),
                  e.what());
            std::error_code ignored;
            fs::rename(item.path(), item.path().string() + ".damaged", ignored);
            continue;
        }
        found.push_back(std::move(entry));
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
    entry.staged = copy.string();
    std::lock_guard hold(journalLock_);
    return write(entry, nullptr) || (*reason = "the journal cannot be written", false);
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
    for (const Entry& entry : usable) {
        BVLog("Resuming the upload of %@ (%llu bytes)", entry.path,
              static_cast<unsigned long long>(entry.size));
        Resumed result{entry, false, bv::Error()};
        auto controller = makeController(entry.path);
        bv::Error error;
        bool ready = controller && controller->openFileError(&error);
        if (controller && !ready && error.code() == BVContentController::kErrorNotFound) {
            error = bv::Error();
            ready = controller->createFileError(&error);
        }
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
