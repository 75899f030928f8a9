#include "BVFinderExtension/FinderSync.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

extern char** environ;

using namespace BVExtensionActions;

namespace {

void xdgOpen(const std::string& path) {
    const char* argv[] = {"xdg-open", path.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) == 0)
        waitpid(pid, nullptr, 0);
}

}  // namespace

FinderSync::FinderSync(Options options) : options_(std::move(options)) {
    if (!options_.exitProcess)
        options_.exitProcess = [](int status) { std::exit(status); };
    if (!options_.openInBrowser)
        options_.openInBrowser = xdgOpen;
    if (options_.setupLogging) {
        if (auto* logging = BVLogging::setupWithPrefix("FE"))
            logging->cleanup();
    }
    auto clock = options_.comms.clock ? options_.comms.clock : bv::Clock::system();
    comms_ = std::make_unique<BVExtensionCommsClient>(options_.comms);
    comms_->setTarget(BVExtensionCommsComponent::DataHandler([this](const std::vector<Value>& a) {
                          extensionInit(std::get<std::string>(a[0]));
                      }),
                      kInit);
    comms_->setTarget(BVExtensionCommsComponent::DataHandler([this](const std::vector<Value>& a) {
                          receivedUserInfo(std::get<std::shared_ptr<BVUserInfoItem>>(a[0]));
                      }),
                      kBroadcastUserInfo);
    comms_->setTarget(
        BVExtensionCommsComponent::DataHandler([this](const std::vector<Value>&) { shutdown(); }),
        kServerShutdown);
    if (!comms_->isConnected())
        return;
    auto& loop = bv::RunLoop::current();
    while (drivePath_.empty()) {
        if (!loop.runUntil([this] { return !drivePath_.empty(); }, 1.0))
            clock->sleepFor(0.1);
    }
    std::string observed;
    for (const auto& folder : directoryURLs_)
        observed += (observed.empty() ? "" : ", ") + folder;
    BVLog("initial init at %@", observed);
}

void FinderSync::extensionInit(const std::string& drivePath) {
    directoryURLs_ = {drivePath};
    comms_->requestUserInfo();
    drivePath_ = drivePath;
    BVLog("received init at %@", drivePath);
}

void FinderSync::receivedUserInfo(std::shared_ptr<BVUserInfoItem> info) {
    BVLog("received info %@", info ? info->description() : std::string("(null)"));
    storageInfo_ = std::move(info);
}

void FinderSync::shutdown() {
    options_.exitProcess(0);
}

std::optional<std::string> FinderSync::relativePath(const std::string& drivePath,
                                                    const std::string& path) {
    std::string root = drivePath;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root.empty() || path.compare(0, root.size(), root) != 0)
        return std::nullopt;
    std::string rest = path.substr(root.size());
    // "/Volumes/Brimvault2" begins with "/Volumes/Brimvault" but is not on the drive.
    if (!rest.empty() && rest.front() != '/' && root != "/")
        return std::nullopt;
    while (rest.size() > 1 && rest.back() == '/')
        rest.pop_back();
    if (rest.empty())
        return "/";
    return rest.front() == '/' ? rest : "/" + rest;
}

int FinderSync::trashStatus(const std::vector<std::string>& relativePaths) {
    int status = 0;
    for (const auto& path : relativePaths) {
        auto parts = BVVolumePath::components(path);
        bool trashComponent = parts.size() >= 2 && parts[1] == "Trash";
        if (trashComponent && parts.size() >= 3) {
            if (status == 2)
                return 0;
            status = 1;
        } else if (trashComponent) {
            status = 0;
        } else {
            if (status == 1)
                return 0;
            status = 2;
        }
    }
    return status;
}

bool FinderSync::isSpecialSelection(const std::vector<std::string>& relativePaths) {
    for (const auto& path : relativePaths) {
        auto parts = BVVolumePath::components(path);
        if (parts.size() >= 2 && (parts[1] == "Trash" || parts[1] == "Shared Folders"))
            return true;
    }
    return false;
}

std::string FinderSync::byteCountText(int64_t bytes) {
    if (bytes < 1000)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1000 && unit < 5) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    if (value >= 100 || unit == 0)
        std::snprintf(text, sizeof(text), "%.0f %s", value, units[unit]);
    else
        std::snprintf(text, sizeof(text), "%.1f %s", value, units[unit]);
    return text;
}

std::string FinderSync::storageLine(const BVUserInfoItem& info) {
    if (info.isUnlimited())
        return byteCountText(info.storageUsed) + " used | Unlimited";
    return byteCountText(info.storageUsed) + " of " + byteCountText(info.storageMax) + " used";
}

std::vector<std::string> FinderSync::relativeSelection(const FinderSelection& selection) const {
    std::vector<std::string> paths;
    for (const auto& item : selection.selectedItems) {
        if (auto relative = relativePath(drivePath_, item))
            paths.push_back(*relative);
    }
    return paths;
}

std::optional<std::string> FinderSync::firstOrTarget(const FinderSelection& selection) const {
    auto paths = relativeSelection(selection);
    if (!paths.empty())
        return paths.front();
    if (selection.selectedItems.empty())
        return relativePath(drivePath_, selection.targetedFolder);
    return std::nullopt;
}

void FinderSync::beginObservingDirectoryAtURL(const std::string& path) {
    if (auto relative = relativePath(drivePath_, path))
        comms_->beginObserving(*relative);
}

void FinderSync::endObservingDirectoryAtURL(const std::string& path) {
    if (auto relative = relativePath(drivePath_, path))
        comms_->endObserving(*relative);
}

FinderMenu FinderSync::menuForMenuKind(MenuKind kind, const FinderSelection& selection) {
    return kind == MenuKind::Toolbar ? toolbarMenu(selection) : contextMenu(kind, selection);
}

FinderMenu FinderSync::toolbarMenu(const FinderSelection& selection) {
    comms_->requestUserInfo();
    FinderMenu menu;
    std::string emptyTitle = "Empty Trash";
    if (storageInfo_)
        emptyTitle += " (" + std::to_string(storageInfo_->trashCount) + ")";
    menu.items.push_back({emptyTitle, "emptyTrash"});
    if (relativePath(drivePath_, selection.targetedFolder)) {
        menu.items.push_back({"", "", true, true});
        menu.items.push_back({"Refresh Folder", "refreshFolder"});
    }
    if (storageInfo_) {
        menu.items.push_back({"", "", true, true});
        menu.items.push_back({storageLine(*storageInfo_), "", false});
    }
    return menu;
}

FinderMenu FinderSync::contextMenu(MenuKind kind, const FinderSelection& selection) const {
    FinderMenu menu;
    auto paths = relativeSelection(selection);
    bool special = isSpecialSelection(paths);
    int status = trashStatus(paths);
    if (!special && (kind == MenuKind::Container || paths.size() == 1)) {
        menu.items.push_back({"BV: Share", "share"});
        menu.items.push_back({"BV: Show Properties", "showProps"});
    }
    if (kind == MenuKind::Items && !special && status == 2)
        menu.items.push_back({"BV: Move To Trash", "moveToTrash"});
    if (status == 1) {
        menu.items.push_back({"BV: Restore", "restore"});
        menu.items.push_back({"BV: Delete", "delete"});
    }
    if (kind == MenuKind::Container)
        menu.items.push_back({"BV: Refresh Folder", "refreshFolder"});
    return menu;
}

void FinderSync::shareItem(const FinderSelection& selection) {
    if (auto path = firstOrTarget(selection))
        comms_->share(*path);
}

void FinderSync::showProps(const FinderSelection& selection) {
    if (auto path = firstOrTarget(selection))
        comms_->showProps(*path);
}

void FinderSync::refreshFolder(const FinderSelection& selection) {
    if (auto path = relativePath(drivePath_, selection.targetedFolder))
        comms_->refreshFolder(*path);
}

void FinderSync::moveToTrash(const FinderSelection& selection) {
    comms_->moveToTrash(relativeSelection(selection));
}

void FinderSync::restore(const FinderSelection& selection) {
    comms_->restore(relativeSelection(selection));
}

void FinderSync::deleteItems(const FinderSelection& selection) {
    comms_->deleteItems(relativeSelection(selection));
}

void FinderSync::emptyTrash() {
    comms_->emptyTrash();
}

void FinderSync::goToDrive() {
    if (!drivePath_.empty())
        options_.openInBrowser(drivePath_);
}

bool FinderSync::performAction(const std::string& name, const FinderSelection& selection) {
    using Action = void (FinderSync::*)(const FinderSelection&);
    static const std::pair<const char*, Action> actions[] = {
        {"share", &FinderSync::shareItem},
        {"showProps", &FinderSync::showProps},
        {"refreshFolder", &FinderSync::refreshFolder},
        {"moveToTrash", &FinderSync::moveToTrash},
        {"restore", &FinderSync::restore},
        {"delete", &FinderSync::deleteItems},
    };
    for (const auto& [actionName, action] : actions) {
        if (name == actionName) {
            (this->*action)(selection);
            return true;
        }
    }
    if (name == "emptyTrash")
        emptyTrash();
    else if (name == "goToDrive")
        goToDrive();
    else
        return false;
    return true;
}
