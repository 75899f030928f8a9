#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Data.h"
#include "platform/Error.h"

class BVFileThumbnailItem;

// Recognises, for each file-system request, whether the calling process is one of the
// desktop's helpers that touch files on behalf of the file browser (satellites), so that
// browsing the volume never downloads every file: the thumbnail generators are served the
// service's small images instead, and the other helpers (indexers, media services, the
// open/save panel service) are refused.
//
// The classification comes from one table (BVSatellitesController.cpp): the desktop
// platform's helpers, matched on their executable path and application bundle, and the Linux
// thumbnailers and indexers, matched on the file name of their executable (tumblerd,
// gdk-pixbuf-thumbnailer, ffmpegthumbnailer, tracker-miner-fs-3, baloo_file, localsearch-3,
// ...). Thumbnailers of videos and documents count as thumbnail generators too: the drive
// lets those open images only, so their other reads are refused all the same.
//
// The caller's executable is the target of /proc/<pid>/exe (a deleted binary's
// " (deleted)" mark is dropped); a process that has ended or whose link cannot be read
// classifies as an ordinary caller. Linux processes have no application bundle, so the
// bundle rules only ever match what classify() is given.
class BVSatellitesController {
  public:
    enum CallerKind : unsigned {
        kThumbnailGenerator = 0,
        kOtherHelper = 1,
        kOrdinaryProcess = 2,
    };

    // The thumbnail of a volume path (the content controller's fileThumbnailAt:error:), or
    // null when there is none.
    using ThumbnailSource =
        std::function<std::shared_ptr<BVFileThumbnailItem>(const std::string& path, bv::Error*)>;

    struct Options {
        std::string procRoot = "/proc";
        // The process of the current file-system request; the file-system layer's request
        // context when empty (0 outside a request).
        std::function<pid_t()> callerPid;
        ThumbnailSource thumbnailSource;
    };

    BVSatellitesController();
    explicit BVSatellitesController(Options options);

    // The process-wide instance, made on first use with default options.
    static std::shared_ptr<BVSatellitesController> sharedController();
    // Where the shared instance finds thumbnails (set once the content controller exists).
    void setThumbnailSource(ThumbnailSource source);

    // The table: the kind of a process with this executable path and bundle path.
    static unsigned classify(const std::string& executablePath, const std::string& bundlePath);

    // The kind of the current request's caller.
    unsigned testCallingProcess() const;
    unsigned testProcess(pid_t pid) const;

    // True for the extensions "jpg", "jpeg" and "png", in any case.
    static bool openThumbnailAt(const std::string& path);
    // The thumbnail's bytes from offset, at most size of them (none past its end, none
    // without a thumbnail). Logs "Thumb request %lld/%lld".
    bv::Data readThumbnailAt(const std::string& path, uint64_t offset, uint64_t size,
                             bv::Error* error) const;

    std::string getCallingProcessExecutable() const;
    // Empty: Linux processes have no application bundle.
    std::string getCallingProcessBundleExecutable() const;
    // The executable of a process, empty when it cannot be read.
    std::string executableOf(pid_t pid) const;

  private:
    pid_t callerPid() const;
    ThumbnailSource thumbnailSource() const;

    Options options_;
    mutable std::mutex thumbnailSourceLock_;  // guards options_.thumbnailSource
};
