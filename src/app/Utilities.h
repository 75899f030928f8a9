#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Error.h"

class BVUserSessionItem;

// Stateless helpers of the drive application: the folder layout below
// $XDG_DATA_HOME/Brimvault, the volume's mount point, the signed-in session, the error
// presenter, change notices for file browsers, and small encoders. Callable from any thread.
class Utilities {
  public:
    // Folders below the data folder, created with their parents (owner-only) on request.
    // Nothing when the folder cannot be created, or when the user name could leave the
    // Brimvault folder (empty, ".", "..", or holding "/").
    static std::optional<std::string> cacheRootPathFor(const BVUserSessionItem* session);
    static std::optional<std::string> cacheRootPath();
    static std::optional<std::string> saveAsPath();
    static std::optional<std::string> khdRootPathFor(const BVUserSessionItem* session);
    static std::optional<std::string> khdRootPathForAccount(const std::string& userName);
    // With no session, the user name of the session file written for Keelhaven.
    static std::optional<std::string> khdRootPath();
    static std::optional<std::string> taskFileDirectory(const std::string& taskName);
    static std::optional<std::string> LogFilePath();
    static std::optional<std::string> renamingsLog();
    static std::optional<std::string> getInstallerLogFilePath();
    // component is a relative path below the data folder; failures are logged with
    // failureFormat (one "%@" for the error text).
    static std::optional<std::string> findOrCreateDirectory(const std::string& component,
                                                            const char* failureFormat,
                                                            bv::Error* error = nullptr);
    // The session files written at sign-in for Keelhaven and the uninstaller, by the names
    // every program knows; each lies at bv::bvTmpPath(name), never in the shared /tmp.
    static constexpr const char* kSessionIdFile = "/tmp/BrimvaultSession.id";
    static constexpr const char* kUserNameFile = "/tmp/BrimvaultID.id";
    static constexpr const char* kDriveNameFile = "/tmp/BrimvaultDriveName.dat";
    static constexpr const char* kAccessFile = "/tmp/access.dat";
    static constexpr const char* kInhibitFile = "/tmp/Inhb.dat";
    // The user name in the session file (kUserNameFile, or the file given): at most 250
    // bytes, read only when the file is a regular file of our own user.
    static std::optional<std::string> loadIdFromBrimvaultIDId();
    static std::optional<std::string> loadIdFromBrimvaultIDId(const std::string& file);
    // The first maxBytes of a small state file that another program of ours wrote: nothing
    // when it is missing, empty, a link, not a regular file or another user's.
    static std::optional<std::string> readOwnStateFile(const std::string& file, size_t maxBytes);

    // The folder that holds the volume's mount point: the preference "mountDirectory" or the
    // override set by a command-line option, else "/Volumes" when it exists or can be
    // created, else $HOME/Volumes.
    static std::string driveMountDirectory();
    static void setMountDirectoryOverride(std::optional<std::string> folder);
    // driveMountDirectory() + "/" + the session's drive name; empty without a session.
    static std::string driveRootPath();
    static std::string driveRootPathFor(const BVUserSessionItem& session);

    // The "default" session of the shared cache controller; null before the first sign-in.
    static std::shared_ptr<BVUserSessionItem> currentUserSession();

    // Free bytes of the file system of the home folder (0 when it cannot be read) and as
    // display text ("Unknown" when it cannot be read).
    static uint64_t getFreeDiskSpaceOnThisMac();
    static std::string getFreeDiskSpaceStringOnThisMac();

    // Shows the error chain as an alert of the current UserInterface, on the main thread,
    // at most once per error code per 15 seconds.
    static void presentError(const bv::Error& error);
    static void presentError(const bv::Error& error, const std::string& name);
    // The alert's text: "<name or Error>:\n" and one "- <text> [<code>]\n" line per error of
    // the chain, outermost first.
    static std::string errorPresentationText(const bv::Error& error, const std::string& name);
    // The clock of the presenter's 15-second rule (the system clock by default).
    static void setClock(std::shared_ptr<bv::Clock> clock);
    static void resetPresentedErrors();

    // Posts kFinderSyncEventNotification with {"path": absolute path} through the default
    // NotificationCenter, so in-process watchers of the volume refresh.
    static constexpr const char* kFinderSyncEventNotification = "BVFinderSyncEvent";
    static void fireFinderSyncEventAt(const std::string& path);
    static void fireFinderSyncEventAtRelativePath(const std::string& relativePath);
    static void fireFinderSyncEventAtRelativePathArray(const std::vector<std::string>& paths);

    // Marks a local file as in transfer: the attribute "com.apple.progress.fractionCompleted"
    // holds the fraction as "%f" text. False when the attribute cannot be written.
    static bool setFileFinderProgress(double fraction, const std::string& path);

    // A process-wide set of paths to refresh.
    static void addPathForRefresh(const std::string& path);
    static bool shouldRefreshPath(const std::string& path);
    static void removePathForRefresh(const std::string& path);

    // 32 lower-case hexadecimal digits of the MD5 of the bytes; an absent text gives "".
    static std::string md5HexDigest(std::optional<std::string_view> text);
    // Made once per process, then always the same.
    static const std::string& appRuntimeIdentifier();

    static std::string appVersion();
    static std::string buildNumber();
    // "%d/%m/%Y %I:%M:%S %p" in local time.
    static std::string dateToStr(double secondsSince1970);
    // A byte count for display: "Zero KB", "1 byte", "512 bytes", "12 KB", "1.5 MB", "2.25 GB".
    static std::string getSizeFormattedStr(uint64_t bytes);
};
