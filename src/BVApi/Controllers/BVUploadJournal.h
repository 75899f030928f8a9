#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

class BVUploadController;

// The uploads that were closed on the volume but are not yet confirmed by the service, kept
// on disk so that none is lost when the program or the machine ends first. One small record
// per upload in the folder "UploadJournal" of the user's cache folder (the cache's size trim
// looks only at the files directly in the cache folder), each written and synced before the
// close that made it returns and removed when the service confirmed the close. A record
// names the volume path, the service identifier when known, the staged copy on disk, its
// size and the state: "closing" while the upload runs, "failed" when it gave up (the copy is
// kept until the upload is resumed or the user discards it).
class BVUploadJournal {
  public:
    struct Entry {
        std::string id;  // the record's own name
        std::string path;
        std::string identifier;
        std::string staged;
        uint64_t size = 0;
        std::string state;
    };
    // What the resumption did with one record.
    struct Resumed {
        Entry entry;
        bool uploaded = false;
        bv::Error error;
    };

    static constexpr const char* kFolderName = "UploadJournal";
    static constexpr const char* kClosing = "closing";
    static constexpr const char* kFailed = "failed";

    // The journal in the folder kFolderName of the cache folder (created owner-only).
    explicit BVUploadJournal(const std::filesystem::path& cacheRoot);

    const std::filesystem::path& folder() const { return folder_; }

    // Writes the record (a new id when entry.id is empty) durably; answers its id, nothing
    // with the error when it could not be written.
    std::optional<std::string> record(Entry entry, bv::Error* error);
    // Writes the record without waiting for the disk: it survives the death of the process
    // but not yet that of the machine. For an upload whose close may still be confirmed by
    // the service before it returns; makeDurable makes it survive the machine too, and the
    // removal of a record that never was made durable costs no sync.
    std::optional<std::string> recordPending(Entry entry, bv::Error* error);
    // Syncs a pending record, its staged copy and the journal's folder; closes that need it
    // at the same time share one folder sync. True when the record is durable or already
    // removed (the service has the file).
    bool makeDurable(const std::string& id, bv::Error* error);
    // A fresh record id.
    std::string newId();
    bool setState(const std::string& id, const std::string& state);
    // Removes the record and, when it lies in the journal's folder, its copy.
    void remove(const std::string& id);
    // Every readable record, oldest first. Records that cannot be read are logged and set
    // aside (renamed with ".damaged").
    std::vector<Entry> entries() const;

    // A place in the journal's folder for a copy of the record's file.
    std::filesystem::path copyPathFor(const std::string& id) const;

    // Resumes every unfinished upload, at sign-in and before the temporary store is emptied:
    // each staged copy is first taken into the journal's folder (the store's copies do not
    // survive the store's emptying), then uploaded whole through a controller that
    // makeController gives for the record's path. A copy that is missing or whose size
    // differs from the record is reported to the user by the file's name (report) and
    // logged, and its record dropped; without a reporter the current user interface shows
    // an alert naming the file. Blocks until every upload ended.
    using ControllerFactory =
        std::function<std::unique_ptr<BVUploadController>(const std::string& path)>;
    using Reporter = std::function<void(const Entry& entry, const std::string& reason)>;
    std::vector<Resumed> resumeJournal(const ControllerFactory& makeController,
                                       const Reporter& report);

  private:
    std::filesystem::path recordPath(const std::string& id) const;
    bool write(const Entry& entry, bv::Error* error);
    // Takes the copy into the journal's folder; false with the reason when it is unusable.
    bool secureCopy(Entry& entry, std::string* reason);

    // One fsync of the folder for every caller that asked before it started.
    void syncFolder();

    const std::filesystem::path folder_;
    mutable std::mutex journalLock_;  // guards counter_, pending_ and the record files' rewrites
    uint64_t counter_ = 0;
    // Records written by recordPending: their staged copy, and whether a sync was asked for.
    struct Pending {
        std::string staged;
        bool durable = false;
    };
    std::map<std::string, Pending> pending_;

    std::mutex folderSyncLock_;  // guards the three counters of the grouped folder sync
    std::condition_variable folderSynced_;
    uint64_t folderSyncsAsked_ = 0;
    uint64_t folderSyncsDone_ = 0;
    bool folderSyncRunning_ = false;
};
