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
//
// A record that went never comes back: a rewrite (a new state, a copy taken in) is made only
// while its file is still there, decided under the lock that its removal takes. And a close
// the service confirmed retires the records of the same file that were written before it:
// their uploads, running or failed, hold content older than what the service now has, and
// resuming one would put that old copy over the newer file.
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
    // Rewrites the record with the state; false when it is not there (removed, or retired by
    // a later close of its file).
    bool setState(const std::string& id, const std::string& state);
    // Removes the record and, when it lies in the journal's folder, its copy.
    void remove(const std::string& id);
    // Now, in the order in which this journal writes records: a close takes it before its
    // upload starts.
    uint64_t generation() const;
    // The service confirmed a close of path that began at mark (generation()): the close's
    // own record (id; empty when it has none, as a streamed close) goes, and so does every
    // record of the same path this journal wrote up to the mark.
    void confirmed(const std::string& path, uint64_t mark, const std::string& id);
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
    enum class Rewrite { Written, Gone, Failed };

    std::filesystem::path recordPath(const std::string& id) const;
    // Writes the record's file; the caller holds journalLock_ and syncs the folder after.
    bool writeLocked(const Entry& entry, bv::Error* error);
    // Writes the record over its file only while that is still there.
    Rewrite rewrite(const Entry& entry);
    // Removes the record's files and forgets it; whether it had been made durable.
    bool removeLocked(const std::string& id);
    // Reads one record file; nothing when it is missing or unreadable.
    static std::optional<Entry> readRecord(const std::filesystem::path& file, std::string* why);
    // Takes the copy into the journal's folder; false with the reason when it is unusable
    // (an empty reason: the record went meanwhile).
    bool secureCopy(Entry& entry, std::string* reason);

    // One fsync of the folder for every caller that asked before it started.
    void syncFolder();

    const std::filesystem::path folder_;
    // Guards the record files' writes and removals, and counter_, generation_, pending_ and
    // live_. One for the process: the resume at sign-in and the volume keep journals of their
    // own on one folder.
    static std::mutex journalLock_;
    uint64_t counter_ = 0;
    uint64_t generation_ = 0;
    // The records this journal wrote that are still there: their file and generation.
    struct Live {
        std::string path;
        uint64_t generation = 0;
    };
    std::map<std::string, Live> live_;
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
