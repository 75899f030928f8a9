#include "app/Shell/AppDelegate.h"

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>

#include "BVApi/Networking/BVApiRequestConfiguration.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/BVSessionFiles.h"
#include "app/Utilities.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "platform/TmpPaths.h"
#include "platform/UserInterface.h"
#include "platform/XdgPaths.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSecureFolderKeychainService = "BrimvaultSecureFolder";

std::string readText(const std::string& path, size_t limit = 1 << 20) {
    std::ifstream in(path, std::ios::binary);
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::string distribution() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            auto value = line.substr(12);
            if (value.size() >= 2 && value.front() == '"')
                value = value.substr(1, value.size() - 2);
            return value;
        }
    return "Linux";
}

// Path components as the selection rules count them: "/" first, then the names.
std::vector<std::string> components(std::string path) {
    std::vector<std::string> parts{"/"};
    std::stringstream in(path);
    std::string part;
    while (std::getline(in, part, '/'))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

}  // namespace

AppDelegate::AppDelegate(Options options) : options_(std::move(options)) {
    if (!options_.ui)
        options_.ui = bv::UserInterface::current();
    if (!options_.state)
        options_.state = std::make_shared<BVSignInState>();
    BVLoginView::Options login;
    login.scheduler = options_.scheduler;
    login.service = options_.signIn;
    login.ui = options_.ui;
    login.state = options_.state;
    login.preferences = options_.preferences;
    login.secrets = options_.secrets;
    loginView_ = std::make_unique<BVLoginView>(std::move(login));
    loginView_->setDelegate(this);
    BVKeelhavenSupervisor::Options khv;
    khv.binary = options_.keelhavenBinary;
    khv.scheduler = options_.scheduler;
    khv.sendClose = options_.sendKeelhavenClose;
    khv.mountDirectory = options_.keelhavenMountDirectory;
    khv.closeGrace = khv.termGrace = options_.keelhavenGrace;
    keelhaven_ = std::make_unique<BVKeelhavenSupervisor>(std::move(khv));
    backgroundQueryQueue_ = std::make_unique<bv::OperationQueue>("usage refresh", 1);
}

AppDelegate::~AppDelegate() {
    backgroundQueryQueue_.reset();
    keelhaven_.reset();
}

bv::Preferences& AppDelegate::prefs() const {
    return options_.preferences ? *options_.preferences : bv::Preferences::standard();
}

bv::SecretStore& AppDelegate::secrets() const {
    return options_.secrets ? *options_.secrets : *bv::SecretStore::current();
}

void AppDelegate::emit(const std::string& event, const nlohmann::json& details) {
    if (options_.events)
        options_.events(event, details);
}

// MARK: launch

std::string AppDelegate::crashHint(const std::string& reportText) {
    return reportText.find("Device not configured") != std::string::npos ? kDriveProblemHint : "";
}

std::vector<std::string> AppDelegate::bannerLines() {
    struct utsname names {};
    ::uname(&names);
    return {
        bv::format("=== Brimvault-Linux Version %@ (Build %@)", Utilities::appVersion(),
                   Utilities::buildNumber()),
        bv::format("=== CPU %@", names.machine),
        bv::format("=== Linux %@ (kernel %@)", distribution(), names.release),
        bv::format("=== libfuse %@", fuse_pkgversion()),
    };
}

void AppDelegate::logBanner() {
    const std::string rule(88, '=');
    BVLog("%@", rule);
    for (const auto& line : bannerLines())
        BVLog("%@", line);
    BVLog("%@", rule);
}

void AppDelegate::checkPreviousRun() {
    auto* logging = BVLogging::sharedInstance();
    if (!logging)
        return;
    if (!logging->checkQuitFlag()) {
        logging->cleanup();
        return;
    }
    auto newest = logging->getPathOfLastGeneratedCrashReport();
    if (!newest || newest == logging->getSavedPathOfLastGeneratedCrashReport())
        return;
    crashHint_ = crashHint(readText(*newest));
    logging->writePathOfLastProcessedCrashReport(*newest);
    crashReportOffered_ = true;
    options_.ui->alert("Brimvault ended unexpectedly the last time it ran.",
                       crashHint_.empty() ? *newest : crashHint_ + "\n" + *newest, {"OK"});
}

void AppDelegate::applicationDidFinishLaunching() {
    if (!BVLogging::sharedInstance())
        BVLogging::setupWithPrefix("BV");
    BVLog("applicationDidFinishLaunching");
    auto* logging = BVLogging::sharedInstance();
    BVLog("pathOfLastGeneratedCR: %@",
          logging->getPathOfLastGeneratedCrashReport().value_or("(null)"));
    checkPreviousRun();
    logBanner();
    std::error_code ec;
    if (fs::exists(bv::XdgPaths::home() / ".bvinst" / "trustComputer.txt", ec))
        prefs().removeObjectForKey("trustComp");
    auto macFolder = bv::bvTmpPath("/tmp/BrimvaultTmp/Mac");
    if (!macFolder.empty())
        fs::remove_all(macFolder, ec);
    userLoggedIn_ = false;
    driveMounted_ = false;
    toolTip_ = bv::format("Brimvault Drive v%@", Utilities::appVersion());
    if (crashReportOffered_ || !prefs().boolForKey("autoLogin") ||
        prefs().boolForKey("performingLogoutRestart")) {
        openLoginWindow();
    } else {
        loginView_->readStoredValues();
        options_.scheduler->after(kAutoLoginDelay, [this] { loginView_->doAutologin(); });
    }
}

void AppDelegate::applicationShouldTerminate() {
    if (auto* logging = BVLogging::sharedInstance())
        logging->setRunningFlag(false);
    quitApplication();
}

void AppDelegate::openLoginWindow() {
    if (userLoggedIn_)
        return;
    loginView_->readStoredValues();
    loginView_->showForm();
}

// MARK: sign-in

void AppDelegate::setUploadSpeedLimit(int64_t limit) {
    uploadSpeedLimit_ = limit;
}

void AppDelegate::loginAutoSuccess(bool, std::shared_ptr<BVUserSessionItem> session) {
    bv::Error error;
    if (!options_.services->startUserSession(session, &error)) {
        Utilities::presentError(error, "Login failed");
        emit("signInFailed", {{"reason", error.description()}});
        options_.state->signInUnderWay = false;
        return;
    }
    session_ = session;
    userLoggedIn_ = true;
    emit("signedIn", {{"user", session->username}});
    options_.services->mountDrive();
    BVLog("USER SESSION %@", session->sessionId);
    BVSessionFiles::write(*session, static_cast<uint64_t>(std::max<int64_t>(0, uploadSpeedLimit_)));
    options_.scheduler->after(kNotificationsDelay, [this] { fetchNotifications(); });
    prefs().setBool("performingLogoutRestart", false);
    backgroundStorageQuery();
}

// MARK: service notifications

void AppDelegate::fetchNotifications() {
    auto services = options_.services;
    auto scheduler = options_.scheduler;
    scheduler->inBackground([this, services, scheduler] {
        bv::Error error;
        auto item = services->userNotifications(&error);
        if (!item) {
            BVLog("The service's notifications were not fetched: %@", error);
            return;
        }
        std::vector<nlohmann::json> list;
        if (item->list.is_array())
            for (const auto& entry : item->list)
                if (entry.is_object())
                    list.push_back(entry);
        scheduler->onMain([this, list] {
            notifications_ = list;
            notificationIndex_ = 0;
            showNextNotification();
        });
    });
}

void AppDelegate::showNextNotification() {
    // Each window here returns at once; its close is the cue for the next one.
    while (notificationIndex_ < notifications_.size()) {
        const auto& entry = notifications_[notificationIndex_++];
        auto text = [&](const char* key) {
            auto found = entry.find(key);
            return found != entry.end() && found->is_string() ? found->get<std::string>()
                                                              : std::string();
        };
        auto type = entry.find("Type");
        const bool update = type != entry.end() && type->is_number() && type->get<double>() == 1;
        notifText_ = text("Text");
        notifURL_ = text("URL");
        if (update)
            updateOffer_ = entry;
        nlohmann::json shown = {{"update", update}, {"text", notifText_}, {"url", notifURL_}};
        shown_.push_back(shown);
        options_.ui->show(bv::WindowKind::Notifications, shown);
    }
}

void AppDelegate::loginAutoFailed(bool automatic, const bv::Error& error) {
    userLoggedIn_ = false;
    emit("signInFailed", {{"reason", error.localizedDescription()}, {"code", error.code()}});
    if (automatic && error.code() != -197)
        return;
    Utilities::presentError(error, "Login failed");
}

void AppDelegate::terminateApplication(int status) {
    options_.services->terminate(status);
}

// MARK: mount events

void AppDelegate::driveControllerDidMountedDrive() {
    driveMounted_ = true;
    if (auto* logging = BVLogging::sharedInstance())
        logging->setRunningFlag(true);
    if (userLoggedIn_)
        keelhaven_->start();
    options_.state->signInUnderWay = false;
    emit("mounted", {{"mountPoint", options_.services->mountPoint()}});
}

void AppDelegate::driveControllerDidFailedToMount(const bv::Error& error) {
    Utilities::presentError(error, "Mount failed");
    emit("mountFailed", {{"reason", error.description()}});
    options_.services->terminate(1);
}

void AppDelegate::driveControllerDidUnmountedDrive() {
    if (auto* logging = BVLogging::sharedInstance())
        logging->setRunningFlag(false);
    if (!userLoggedIn_) {
        lastEnding_ = UnmountEnding::NotSignedIn;
        return;
    }
    BVLog("Synching items");
    performSynchedItemsSync();
    if (prefs().objectForKey("trustComp").is_null() && session_) {
        secrets().remove(kSecureFolderKeychainService, session_->username);
        BVLog("deleted Secure files password from keychain");
    }
    bv::Error error;
    if (!options_.services->logoutAtService(&error))
        BVLog("logout failed: %@", error);
    userLoggedIn_ = false;
    driveMounted_ = false;
    options_.state->lastSignOut = options_.scheduler->clock()->now();
    keelhaven_->stop();
    emit("unmounted");
    if (downloadUpdate_) {
        lastEnding_ = UnmountEnding::UpdateWaiting;
        scheduleDownload();
        return;
    }
    if (performingUninstall_) {
        lastEnding_ = UnmountEnding::Uninstalling;
        return;
    }
    if (shouldExitApp_) {
        lastEnding_ = UnmountEnding::Quit;
    } else if (prefs().boolForKey("performingLogoutRestart")) {
        lastEnding_ = UnmountEnding::Restart;
        BVLog("Opening %@", "brimvault daemon");
        BVLog("Result - %@", options_.services->relaunch());
    } else {
        lastEnding_ = UnmountEnding::Terminated;
        options_.ui->alert(kUnmountedMessage, "", {"OK"});
    }
    options_.services->terminate(0);
}

// MARK: sign-out and quit

bool AppDelegate::logoutCurrentUser() {
    options_.services->cancelAllUploads();
    prefs().setBool("performingLogoutRestart", true);
    emit("signedOut");
    const bool unmounting = options_.services->unmountDrive();
    if (!unmounting)
        BVLog("sign-out: the volume is busy and stays mounted");
    options_.state->signInUnderWay = false;
    return unmounting;
}

void AppDelegate::quitApplication() {
    options_.services->cancelAllUploads();
    if (userLoggedIn_) {
        shouldExitApp_ = true;
        if (!options_.services->unmountDrive())
            shouldExitApp_ = false;
        return;
    }
    options_.services->terminate(1);
}

// MARK: update

bool AppDelegate::update(std::string* why) {
    auto refuse = [why](const char* reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (updateOffer_.is_null())
        return refuse("no update is offered (the service offers one after the sign-in)");
    if (downloadUpdate_)
        return refuse("the update is already being downloaded");
    downloadUpdate_ = true;
    if (!userLoggedIn_) {
        scheduleDownload();
        return true;
    }
    if (logoutCurrentUser())
        return true;
    downloadUpdate_ = false;
    return refuse("the drive is in use and stays mounted; close what uses it and try again");
}

void AppDelegate::scheduleDownload() {
    std::weak_ptr<int> alive = lifetime_;
    options_.scheduler->after(kRetryDownloadDelay, [this, alive] {
        if (alive.lock())
            retryDownload();
    });
}

void AppDelegate::retryDownload() {
    auto offer = DownloadUpdate::Offer::fromNotification(updateOffer_);
    auto download = options_.updateDownloader;
    if (!download)
        download = [](const DownloadUpdate::Offer& offer,
                      const std::function<void(int)>& progress) {
            return DownloadUpdate(bv::bvTmpPath("/tmp/update.deb"),
                                  BVApiRequestConfiguration::defaultConfiguration().caFile())
                .downloadUpdate(offer, progress);
        };
    auto scheduler = options_.scheduler;
    auto ui = options_.ui;
    emit("updateProgress", {{"percent", 0}});
    scheduler->inBackground([this, offer, download, scheduler, ui] {
        DownloadUpdate::Result result;
        for (;;) {
            result = download(offer, [this, scheduler](int percent) {
                scheduler->onMain([this, percent] {
                    emit("updateProgress", {{"percent", percent}});
                });
            });
            if (result.ok ||
                ui->alert(DownloadUpdate::kFailedMessage, result.error, {"Retry", "Cancel"}) != 0)
                break;
        }
        scheduler->onMain([this, result] { updateDownloaded(result); });
    });
}

void AppDelegate::updateDownloaded(const DownloadUpdate::Result& result) {
    downloadUpdate_ = false;
    if (!result.ok) {
        // Given up: back to the sign-in, as after a sign-out.
        emit("updateFailed", {{"reason", result.error}});
        lastEnding_ = UnmountEnding::Restart;
        BVLog("Opening %@", "brimvault daemon");
        BVLog("Result - %@", options_.services->relaunch());
        options_.services->terminate(0);
        return;
    }
    emit("updateReady", {{"file", result.path}, {"sha256", result.sha256}});
    options_.ui->alert("The update is downloaded.",
                       "Install it as root with: apt-get install " + result.path, {"OK"});
    lastEnding_ = UnmountEnding::Quit;
    options_.services->terminate(0);
}

void AppDelegate::startUninstall() {
    performingUninstall_ = true;
    if (userLoggedIn_)
        logoutCurrentUser();
}

// MARK: activity

void AppDelegate::didStartedRequest() {
    options_.scheduler->onMain([this] { ++networkActivityCount_; });
}

void AppDelegate::didFinishedRequest() {
    options_.scheduler->onMain([this] { --networkActivityCount_; });
}

void AppDelegate::setActivityDescription(const std::string& description) {
    options_.scheduler->onMain([this, description] {
        toolTip_ = bv::format("%ld ops. | %@", networkActivityCount_, description);
    });
}

// MARK: usage refresh

void AppDelegate::backgroundStorageQuery() {
    double now = options_.scheduler->clock()->now();
    if (now - backgroundQueryLastUpdate_ <= kUsageRefreshInterval)
        return;
    BVLog("Performing background update!");
    backgroundQueryLastUpdate_ = now;
    backgroundQueryQueue_->addOperation([this] {
        std::unique_lock lock(storageQueryLock_, std::try_to_lock);
        if (!lock.owns_lock())
            return;
        auto sync = std::async(std::launch::async, [this] { performSynchedItemsSync(); });
        performStorageQuery();
        sync.wait();
    });
}

void AppDelegate::waitForBackgroundQueries() {
    backgroundQueryQueue_->waitUntilAllOperationsAreFinished();
}

void AppDelegate::performStorageQuery() {
    bv::Error error;
    auto info = options_.services->userInfoNoCache(&error);
    if (!info)
        return;
    auto text = bv::format("%@ of %@ used", Utilities::getSizeFormattedStr(info->storageUsed),
                           info->isUnlimited() ? std::string("Unlimited")
                                               : Utilities::getSizeFormattedStr(info->storageMax));
    std::lock_guard lock(userInfoLock_);
    userInfo_ = info;
    spaceInfo_ = text;
    trashCount_ = info->trashCount;
}

void AppDelegate::performSynchedItemsSync() {
    bv::Error error;
    if (!options_.services->syncSynchedItems(&error))
        BVLog("SYNC FAILED: %@", error);
}

int64_t AppDelegate::trashCount() const {
    std::lock_guard lock(userInfoLock_);
    return trashCount_;
}

std::string AppDelegate::spaceInfo() const {
    std::lock_guard lock(userInfoLock_);
    return spaceInfo_;
}

// MARK: file actions

std::string AppDelegate::parentOf(const std::string& path) {
    auto parent = fs::path(path).parent_path().string();
    return parent.empty() ? "/" : parent;
}

bool AppDelegate::MoveToTrash(const std::vector<std::string>& paths) {
    bool ok = true;
    size_t done = 0;
    std::set<std::string> parents;
    for (const auto& path : paths) {
        bv::Error error;
        if (!options_.services->trashItemAt(path, &error)) {
            Utilities::presentError(error, "Failed to trash item");
            ok = false;
            break;
        }
        options_.services->forgetLocalCopies(path);
        parents.insert(parentOf(path));
        ++done;
    }
    options_.services->purgeTrashListing();
    {
        std::lock_guard lock(userInfoLock_);
        trashCount_ += static_cast<int64_t>(done);
    }
    options_.services->folderChanged("/Trash");
    for (const auto& parent : parents)
        options_.services->folderChanged(parent);
    return ok;
}

bool AppDelegate::Restore(const std::vector<std::string>& paths) {
    bool ok = true;
    int64_t done = 0;
    std::set<std::string> parents;
    for (const auto& path : paths) {
        bv::Error error;
        std::string restored;
        if (!options_.services->restoreItemAt(path, &restored, &error)) {
            Utilities::presentError(error, "Failed to restore");
            ok = false;
            break;
        }
        if (!restored.empty())
            parents.insert(parentOf(restored));
        ++done;
    }
    options_.services->purgeTrashListing();
    {
        std::lock_guard lock(userInfoLock_);
        trashCount_ = std::max<int64_t>(0, trashCount_ - done);
    }
    options_.services->folderChanged("/Trash");
    for (const auto& parent : parents)
        options_.services->folderChanged(parent);
    return ok;
}

bool AppDelegate::Delete(const std::vector<std::string>& paths) {
    bool ok = true;
    std::set<std::string> parents;
    for (const auto& path : paths) {
        bv::Error error;
        if (!options_.services->deleteItemAt(path, &error)) {
            Utilities::presentError(error, "Failed to delete");
            ok = false;
            break;
        }
        options_.services->forgetLocalCopies(path);
        parents.insert(parentOf(path));
    }
    for (const auto& parent : parents)
        options_.services->folderChanged(parent);
    return ok;
}

bool AppDelegate::EmptyTrash() {
    bv::Error error;
    bool ok = options_.services->emptyTrash(&error);
    if (ok) {
        options_.services->purgeTrashListing();
        options_.services->folderChanged("/Trash");
        options_.ui->alert("Empty Trash Successfull.", "", {"OK"});
    } else {
        Utilities::presentError(error, "Empty trash failed");
    }
    std::lock_guard lock(userInfoLock_);
    trashCount_ = 0;
    return ok;
}

void AppDelegate::RefreshFolder(const std::string& path) {
    options_.services->folderChanged(path.empty() ? "/" : path);
    if (path == "/" || path.empty() || path == "/Trash")
        backgroundQueryLastUpdate_ = 0;
    backgroundStorageQuery();
}

bool AppDelegate::openAccount() {
    bv::Error error;
    auto links = options_.services->userLinks(&error);
    if (!links || links->accountLink.empty())
        return false;
    options_.services->openURL(links->accountLink);
    return true;
}

bool AppDelegate::upgradeAccount() {
    bv::Error error;
    auto links = options_.services->userLinks(&error);
    if (!links || links->billingLink.empty())
        return false;
    options_.services->openURL(links->billingLink);
    return true;
}

// MARK: menu

bool AppDelegate::isFolderActionItem(const std::string& title) {
    static const std::set<std::string> titles{"Share",         "Move To Trash", "Restore",
                                              "Delete",        "Empty Trash",   "Show Properties",
                                              "Refresh Folder"};
    return titles.count(title) > 0;
}

bool AppDelegate::isEnabled(const std::string& title, const std::vector<std::string>& selection,
                            const std::string& currentFolder) {
    if (title == "Refresh Folder")
        return !currentFolder.empty();
    if (title == "Empty Trash" || selection.empty())
        return false;
    if ((title == "Show Properties" || title == "Share") && selection.size() != 1)
        return false;
    for (const auto& path : selection) {
        auto parts = components(path);
        const std::string top = parts.size() > 1 ? parts[1] : "";
        bool passes = false;
        if (title == "Show Properties" || title == "Share")
            passes = parts.size() > 1 && top != "Trash" && top != "Shared Folders";
        else if (title == "Restore" || title == "Delete")
            passes = parts.size() > 2 && top == "Trash";
        else if (title == "Move To Trash")
            passes = parts.size() >= 2 && top != "Trash" &&
                     (top != "Shared Folders" || parts.size() >= 5);
        if (!passes)
            return false;
    }
    return true;
}

std::vector<AppDelegate::MenuItem> AppDelegate::statusMenu(
    const std::vector<std::string>& selection, const std::string& currentFolder,
    bool extensionConnected) {
    std::vector<MenuItem> menu;
    if (userLoggedIn_) {
        backgroundStorageQuery();
        auto info = spaceInfo();
        menu.push_back({info.empty() ? "Calculating Storage Info..." : info, false});
    } else {
        menu.push_back({"Waiting for Login..", false});
    }
    menu.push_back({"Open..", userLoggedIn_});
    menu.push_back({"Account", userLoggedIn_});
    menu.push_back({"Upgrade Plan", userLoggedIn_});
    menu.push_back({"Sync And Backup...", driveMounted_});
    if (!extensionConnected) {
        for (const char* title :
             {"Share", "Show Properties", "Move To Trash", "Restore", "Delete", "Refresh Folder"})
            menu.push_back({title, userLoggedIn_ && isEnabled(title, selection, currentFolder)});
        bool accountUser = session_ && session_->isAccountUser;
        menu.push_back({bv::format("Empty Trash (%@)", std::to_string(trashCount())),
                        userLoggedIn_ && !accountUser, kEmptyTrashTag});
    }
    menu.push_back({"Rename files...", userLoggedIn_});
    menu.push_back({"Send Logs", userLoggedIn_});
    menu.push_back({"Login", !userLoggedIn_});
    menu.push_back({"Logout", userLoggedIn_});
    menu.push_back({"Uninstall", true});
    menu.push_back({"Quit", true});
    return menu;
}
