#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "comms/BVExtensionCommsClient.h"

class BVUserInfoItem;

struct FinderMenuItem {
    std::string title;
    std::string action;  // empty for separators and disabled items
    bool enabled = true;
    bool separator = false;
};

struct FinderMenu {
    std::string title = "Brimvault";
    std::vector<FinderMenuItem> items;
};

// What the file browser hands to a menu or an action: the selected items and the folder the
// user is looking at (absolute paths).
struct FinderSelection {
    std::vector<std::string> selectedItems;
    std::string targetedFolder;  // empty when unknown
};

// The file-browser extension: offers the volume's own actions where the user looks at the
// mounted drive and forwards them to the drive application over the extension channel.
// Construction sets up logging ("FE", its own folder), starts the channel client (which
// waits for the drive application) and runs the current run loop until "ext_init" told
// the drive's root. Use it on the thread that created it.
class FinderSync {
  public:
    enum class MenuKind { Items = 0, Container = 1, Sidebar = 2, Toolbar = 3 };

    struct Options {
        BVExtensionCommsClient::Options comms;
        // Opens a folder in the file browser; default xdg-open.
        std::function<void(const std::string& path)> openInBrowser;
        // Ends the process on "ext_serv_shtd"; default std::exit.
        std::function<void(int status)> exitProcess;
        bool setupLogging = true;
    };

    explicit FinderSync(Options options);

    // Browser-facing operations.
    void beginObservingDirectoryAtURL(const std::string& path);
    void endObservingDirectoryAtURL(const std::string& path);
    void requestBadgeIdentifierForURL(const std::string&) {}
    std::string toolbarItemName() const { return "Brimvault"; }
    std::string toolbarItemToolTip() const { return "Mounted at " + drivePath_; }
    std::string toolbarItemImage() const { return "MainOnline"; }
    FinderMenu menuForMenuKind(MenuKind kind, const FinderSelection& selection);

    // Menu actions, by the names the menus carry.
    void shareItem(const FinderSelection& selection);
    void showProps(const FinderSelection& selection);
    void refreshFolder(const FinderSelection& selection);
    void moveToTrash(const FinderSelection& selection);
    void restore(const FinderSelection& selection);
    void deleteItems(const FinderSelection& selection);
    void emptyTrash();
    void goToDrive();
    // Runs the action named as in the menus ("share", "showProps", "refreshFolder",
    // "moveToTrash", "restore", "delete", "emptyTrash", "goToDrive"); false for another name.
    bool performAction(const std::string& name, const FinderSelection& selection);

    // Message handlers.
    void extensionInit(const std::string& drivePath);
    void receivedUserInfo(std::shared_ptr<BVUserInfoItem> info);
    void shutdown();

    const std::string& drivePath() const { return drivePath_; }
    const std::shared_ptr<BVUserInfoItem>& storageInfo() const { return storageInfo_; }
    const std::set<std::string>& directoryURLs() const { return directoryURLs_; }
    BVExtensionCommsClient& comms() { return *comms_; }

    // The path below the drive ("/" for the root itself); nothing outside it.
    static std::optional<std::string> relativePath(const std::string& drivePath,
                                                   const std::string& path);
    // 1 all in the trash, 2 all outside, 0 a mixture, the trash folder alone or nothing.
    static int trashStatus(const std::vector<std::string>& relativePaths);
    // Whether an item is "Trash" or "Shared Folders" or lies below one of them.
    static bool isSpecialSelection(const std::vector<std::string>& relativePaths);
    // "%@ used | Unlimited" or "%@ of %@ used".
    static std::string storageLine(const BVUserInfoItem& info);
    // Byte counts as people read them ("1.5 GB").
    static std::string byteCountText(int64_t bytes);

  private:
    std::vector<std::string> relativeSelection(const FinderSelection& selection) const;
    std::optional<std::string> firstOrTarget(const FinderSelection& selection) const;
    FinderMenu toolbarMenu(const FinderSelection& selection);
    FinderMenu contextMenu(MenuKind kind, const FinderSelection& selection) const;

    Options options_;
    std::unique_ptr<BVExtensionCommsClient> comms_;
    std::string drivePath_;
    std::shared_ptr<BVUserInfoItem> storageInfo_;
    std::set<std::string> directoryURLs_;
};
