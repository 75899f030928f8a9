#pragma once

#include <memory>
#include <string>

#include "BVApi/Content/BVUserItems.h"
#include "platform/Error.h"

// What the application controller asks of the rest of the system: the per-user
// controllers, the volume, the service and the desktop. The daemon gives the real ones;
// tests give fakes and count the calls.
class BVAppServices {
  public:
    virtual ~BVAppServices() = default;

    // The cache for the session, the content and manage controllers, the temporary store,
    // the background refresh and the satellites.
    virtual bool startUserSession(const std::shared_ptr<BVUserSessionItem>& session,
                                  bv::Error* error) = 0;
    // Starts the mount; the outcome arrives as a mount event of the controller.
    virtual void mountDrive() = 0;
    // Forced unmount; false when the volume is busy (the busy alert was shown).
    virtual bool unmountDrive() = 0;
    virtual std::string mountPoint() const = 0;
    virtual bool logoutAtService(bv::Error* error) = 0;
    virtual std::shared_ptr<BVUserInfoItem> userInfoNoCache(bv::Error* error) = 0;
    virtual std::shared_ptr<BVUserLinksItem> userLinks(bv::Error* error) = 0;
    virtual bool syncSynchedItems(bv::Error* error) = 0;
    // The service's notifications for the user, never cached.
    virtual std::shared_ptr<BVNotificationsItem> userNotifications(bv::Error* error) = 0;

    virtual bool trashItemAt(const std::string& path, bv::Error* error) = 0;
    virtual bool restoreItemAt(const std::string& path, std::string* restoredPath,
                               bv::Error* error) = 0;
    virtual bool deleteItemAt(const std::string& path, bv::Error* error) = 0;
    virtual bool emptyTrash(bv::Error* error) = 0;
    // Forgets the cached listing of the trash ("-1").
    virtual void purgeTrashListing() = 0;
    // Removes the temporary-store copy and the extended attributes of a removed item.
    virtual void forgetLocalCopies(const std::string& path) = 0;
    // Tells the file browser (and in-process watchers) that a folder changed.
    virtual void folderChanged(const std::string& relativePath) = 0;

    // "CancelAllUploads": waiting requests stop; written files stay in the upload journal.
    virtual void cancelAllUploads() = 0;
    virtual void openURL(const std::string& url) = 0;
    // Starts a new instance of the application (the sign-out restart); answers the result.
    virtual std::string relaunch() = 0;
    // Ends the process's run with status (the daemon stops its loop, tidies up and exits).
    virtual void terminate(int status) = 0;
};
