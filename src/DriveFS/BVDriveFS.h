#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Controllers/BVUploadController.h"
#include "DriveFS/BVDriveFSTransfers.h"
#include "DriveFS/BVFolderRequests.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVApiClient;
class BVBackgroundFolderUpdateController;
class BVCacheController;
class BVContentItem;
class BVContentController;
class BVExtendedAttributesController;
class BVManageController;
class BVSatellitesController;
class BVTmpController;
class BVUploadJournal;
class BVUploadStartCounter;

// What the volume answers for one item.
struct BVDriveFSAttributes {
    bool isDirectory = false;
    double creationDate = 0;
    double modificationDate = 0;
    std::optional<uint64_t> size;  // files only
    uint32_t posixPermissions = 0755;
};

// The object kept by the kernel for one open file: where its reads and writes go.
struct BVDriveFSHandle {
    enum class Kind { TmpStore, Readahead, Satellites, EmptyFileWriter, StagingWriter };
    Kind kind = Kind::TmpStore;
    std::string path;
    std::unique_ptr<BVFileReader> reader;  // Readahead
    std::shared_ptr<BVFileWriter>
        writer;  // the two writer kinds (shared by every handle of the path)
    bool isWriter() const { return kind == Kind::EmptyFileWriter || kind == Kind::StagingWriter; }
};

// The operations of the mounted volume, one per file-system call, on volume paths ("/" is the
// account's root). Each classifies the path and hands the work to the component that owns
// the data: the content and manage controllers (the service), the temporary store (names
// that never reach the service), a reader, a writer, or the thumbnail responder.
//
// Failures answer false / nothing / -1 with *error set to a POSIX-domain error (through
// fillPosixError, which also shows the error to the user), except where noted.
//
// Thread-safe: the kernel calls from several worker threads at once. The only state is the
// table of open writers (one per path, shared by its handles), guarded by writersLock_; each
// writer is called under its own entry's lock, never under writersLock_.
class BVDriveFS {
  public:
    using ReaderFactory = std::function<std::unique_ptr<BVFileReader>(const std::string& path)>;
    using WriterFactory =
        std::function<std::shared_ptr<BVFileWriter>(const std::string& path, BVWriteStart start)>;
    using Presenter = std::function<void(const bv::Error& error, const std::string& name)>;

    static constexpr int kReadRetries = 3;
    static constexpr double kReadRetryDelay = 5;
    static constexpr unsigned kCreateThrottleCount = 4;
    static constexpr double kCreateThrottleDelay = 0.2;
    // An unlimited account's size.
    static constexpr uint64_t kUnlimitedSize = 1024000000000000ULL;
    static constexpr const char* kBlankFileMessage =
        "Files and folders that begin with a space cannot be uploaded. Please manually rename "
        "%@  or select 'Rename files...' in the menu.";
    static constexpr const char* kBlankFolderMessage =
        "Folders with names that begin with a space cannot be uploaded. Please manually rename "
        "%@  or select 'Rename files...' in the menu.";
    static constexpr const char* kLinksMessage = "Links are supported only by Keelhaven.";

    // Collaborators; each unset one is the process-wide one.
    struct Options {
        BVApiClient* client = nullptr;
        BVContentController* content = nullptr;
        BVManageController* manage = nullptr;
        std::shared_ptr<BVTmpController> tmp;
        std::shared_ptr<BVCacheController> cache;
        std::shared_ptr<BVExtendedAttributesController> xattrs;
        std::shared_ptr<BVSatellitesController> satellites;
        BVBackgroundFolderUpdateController* refresher = nullptr;
        BVUploadStartCounter* uploadStartCounter = nullptr;
        // Read retries, the create throttle, the read-ahead's and the uploads' waits.
        std::shared_ptr<bv::Clock> clock;
        Presenter presentError;  // Utilities::presentError by default
        // Where closed uploads are recorded until the service has them; by default the
        // journal in the shared cache's folder.
        std::shared_ptr<BVUploadJournal> journal;
        // Told about every upload of a written file (the uploads window); it outlives the
        // volume.
        BVUploadControllerDelegate* uploadsDelegate = nullptr;
        // The read-ahead reader over the download controller and the upload writers by
        // default.
        ReaderFactory readers;
        WriterFactory writers;
    };

    BVDriveFS();
    explicit BVDriveFS(Options options);
    virtual ~BVDriveFS();
    BVDriveFS(const BVDriveFS&) = delete;
    BVDriveFS& operator=(const BVDriveFS&) = delete;

    // ---- Metadata ----
    std::optional<BVDriveFSAttributes> attributesOfItemAtPath(const std::string& path,
                                                              bv::Error* error);
    // Names that could never be directory entries are left out (and logged).
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path,
                                                                      bv::Error* error);
    bool moveItemAtPath(const std::string& source, const std::string& destination,
                        bv::Error* error);
    bool removeItemAtPath(const std::string& path, bv::Error* error);
    bool removeDirectoryAtPath(const std::string& path, bv::Error* error);
    bool createDirectoryAtPath(const std::string& path, bv::Error* error);
    struct FileSystemSize {
        uint64_t size = 0;
        uint64_t freeSize = 0;
    };
    std::optional<FileSystemSize> attributesOfFileSystemForPath(const std::string& path,
                                                                bv::Error* error);
    // A size cuts what will be uploaded when the path is open for writing, and otherwise
    // rewrites the service file with the cut content. Other attributes change nothing.
    bool setSize(const std::string& path, BVDriveFSHandle* handle, uint64_t size, bv::Error* error);
    // Mode and times: applied to the local copy in the temporary store, if any; always true.
    bool setAttributes(const BVTmpController::Attributes& attributes, const std::string& path);
    // Links are refused: false with no error.
    bool createSymbolicLinkAtPath(const std::string& path, const std::string& destination,
                                  bv::Error* error);
    bool linkItemAtPath(const std::string& path, const std::string& destination, bv::Error* error);

    // ---- Extended attributes (the keeper's answers, unchanged) ----
    std::vector<std::string> extendedAttributesOfItemAtPath(const std::string& path,
                                                            bv::Error* error);
    std::optional<bv::Data> valueOfExtendedAttribute(const std::string& name,
                                                     const std::string& path, uint64_t position,
                                                     bv::Error* error);
    bool setExtendedAttribute(const std::string& name, const std::string& path,
                              const bv::Data& value, uint64_t position, int options,
                              bv::Error* error);
    bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                 bv::Error* error);

    // ---- Contents ----
    // writing: opened for anything but reading only; truncate: O_TRUNC.
    std::unique_ptr<BVDriveFSHandle> openFileAtPath(const std::string& path, bool writing,
                                                    bool truncate, bv::Error* error);
    std::unique_ptr<BVDriveFSHandle> createFileAtPath(const std::string& path, bv::Error* error);
    // Bytes placed in buffer, or -1.
    int64_t readFileAtPath(const std::string& path, BVDriveFSHandle& handle, char* buffer,
                           size_t size, uint64_t offset, bv::Error* error);
    int64_t writeFileAtPath(const std::string& path, BVDriveFSHandle& handle, const char* buffer,
                            size_t size, uint64_t offset, bv::Error* error);
    // close() and fsync(): what was written is at the service when this answers true.
    bool flushFileAtPath(const std::string& path, BVDriveFSHandle& handle, bv::Error* error);
    void releaseFileAtPath(const std::string& path, std::unique_ptr<BVDriveFSHandle> handle);

    // ---- Handles held by the kernel ----
    // The kernel keeps a plain number per open file; the handles stay owned here until their
    // release, so that the ones an unmount never releases (a forced or lazy unmount, the
    // daemon stopping with files open) are still finished and freed.
    uint64_t adoptHandle(std::unique_ptr<BVDriveFSHandle> handle);
    BVDriveFSHandle* handleFor(uint64_t number);
    std::unique_ptr<BVDriveFSHandle> takeHandle(uint64_t number);
    // Releases every handle still held (their writers finish as at a last close); at the
    // end of the mount and in the destructor.
    void releaseOpenHandles();

    // The kernel's requests under way that hold a folder's lock; counted by the adapters,
    // waited for by the mount's cache invalidator.
    BVFolderRequests& folderRequests() { return folderRequests_; }

    // ---- Errors ----
    // Replaces *error by its POSIX error and answers false; shows it first when display.
    bool fillPosixError(bv::Error* error, bool display = true);
    void displayBVError(const bv::Error& error);

  private:
    struct OpenWriter {
        std::mutex lock;  // serialises the writer's calls
        std::shared_ptr<BVFileWriter> writer;
        int handles = 0;
    };

    BVApiClient* client() const;
    BVContentController& content() const;
    BVManageController& manage() const;
    std::shared_ptr<BVTmpController> tmp() const;
    std::shared_ptr<BVExtendedAttributesController> xattrs() const;
    std::shared_ptr<BVSatellitesController> satellites() const;
    BVBackgroundFolderUpdateController& refresher() const;
    BVUploadStartCounter& uploadStartCounter() const;
    // What every upload writer of this volume works with.
    BVUploadController::Options uploadOptions();

    std::optional<BVDriveFSAttributes> rootAttributes(bv::Error* error);
    std::optional<BVDriveFSAttributes> tmpStoreAttributes(const std::string& path,
                                                          bv::Error* error);
    // The service's item at path: null when the parent lists none, nothing (with the
    // listing's error) when the parent cannot be listed.
    std::optional<std::shared_ptr<BVContentItem>> itemAt(const std::string& path, bv::Error* error);
    // The destination of a rename may be replaced: false with ENOTEMPTY or EISDIR otherwise.
    bool clearRenameDestination(const std::string& source, const std::string& destination,
                                bv::Error* error);
    // The refusal of a path with a blank-led component (shown at once), else of an
    // over-long component; true when the path is acceptable.
    bool checkNewName(const std::string& path, const char* blankMessage, bv::Error* error);
    std::unique_ptr<BVDriveFSHandle> readingHandle(const std::string& path, bv::Error* error);
    std::optional<bv::Data> readOnce(BVDriveFSHandle& handle, uint64_t offset, size_t size,
                                     bv::Error* error);

    std::shared_ptr<OpenWriter> attachWriter(const std::string& path, BVWriteStart start);
    std::shared_ptr<OpenWriter> openWriterAt(const std::string& path);
    void detachWriter(const std::string& path, bool* last);

    Options options_;
    std::mutex handlesLock_;  // guards handles_ (a leaf)
    std::map<uint64_t, std::unique_ptr<BVDriveFSHandle>> handles_;
    std::mutex journalLock_;  // guards options_.journal (made at the first writer)
    std::mutex writersLock_;  // guards writers_ (a leaf: no other lock is taken under it)
    std::map<std::string, std::shared_ptr<OpenWriter>> writers_;
    BVFolderRequests folderRequests_;
};
