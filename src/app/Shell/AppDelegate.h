#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BVApi/Networking/BVApiClientActivityDelegate.h"
#include "DriveFS/BVDriveController.h"
#include "app/Shell/BVAppServices.h"
#include "app/Shell/BVKeelhavenSupervisor.h"
#include "app/Shell/BVLoginView.h"
#include "app/Shell/BVShellScheduler.h"
#include "app/Shell/DownloadUpdate.h"
#include "platform/OperationQueue.h"

// The drive application's controller: the launch, the sign-in results, the session files,
// the mount events and what follows an unmount, sign-out, quit, Keelhaven's life, the
// account-usage refresh, network activity and the status menu's actions and rules.
//
// Runs on the main thread (through the scheduler). The usage refresh runs on its own serial
// queue; what it stores is guarded by userInfoLock_. Shutdown order: the caller stops
// Keelhaven (stopKeelhaven()) and the refresh queue (destructor) before the shared
// controllers go.
class AppDelegate : public BVLoginViewDelegate,
                    public BVDriveControllerDelegate,
                    public BVApiClientActivityDelegate {
  public:
    static constexpr double kAutoLoginDelay = 1;
    static constexpr double kNotificationsDelay = 0.5;
    static constexpr double kRetryDownloadDelay = 0.5;
    static constexpr double kUsageRefreshInterval = 60;
    static constexpr const char* kUnmountedMessage =
        "File system was unmounted. Application will terminate.";
    static constexpr const char* kDriveProblemHint = "There is a problem with the drive.";
    static constexpr int kEmptyTrashTag = 100;

    enum class UnmountEnding {
        None,
        NotSignedIn,
        UpdateWaiting,
        Uninstalling,
        Quit,
        Restart,
        Terminated
    };

    struct Options {
        std::shared_ptr<BVShellScheduler> scheduler;
        std::shared_ptr<BVAppServices> services;
        std::shared_ptr<BVSignInService> signIn;
        std::shared_ptr<bv::UserInterface> ui;
        bv::Preferences* preferences = nullptr;    // the standard store when null
        std::shared_ptr<bv::SecretStore> secrets;  // the current store when null
        std::shared_ptr<BVSignInState> state;
        // Keelhaven: the program beside brimvault, and how it is asked to close.
        std::string keelhavenBinary;
        std::function<bool()> sendKeelhavenClose;
        // The folder of the mount point, for Keelhaven (its --mount-dir).
        std::string keelhavenMountDirectory;
        double keelhavenGrace = 3;
        // Told what happened (for the command line): "signedIn", "mounted", "mountFailed",
        // "signInFailed", "unmounted", "signedOut".
        std::function<void(const std::string& event, const nlohmann::json& details)> events;
        // Downloads an offered update (blocking, progress in whole percent); unset, into
        // the private file "/tmp/update.deb" of the cache's tmp root.
        std::function<DownloadUpdate::Result(const DownloadUpdate::Offer&,
                                             const std::function<void(int)>& progress)>
            updateDownloader;
    };

    struct MenuItem {
        std::string title;
        bool enabled = false;
        int tag = 0;
    };

    explicit AppDelegate(Options options);
    ~AppDelegate() override;

    // ---- Application ----
    void applicationDidFinishLaunching();
    void applicationShouldTerminate();

    // ---- Sign-in results ----
    void setUploadSpeedLimit(int64_t limit) override;
    void loginAutoSuccess(bool automatic, std::shared_ptr<BVUserSessionItem> session) override;
    void loginAutoFailed(bool automatic, const bv::Error& error) override;
    void terminateApplication(int status) override;

    // ---- Mount events ----
    void driveControllerDidMountedDrive() override;
    void driveControllerDidFailedToMount(const bv::Error& error) override;
    void driveControllerDidUnmountedDrive() override;

    // ---- Network activity ----
    void didStartedRequest() override;
    void didFinishedRequest() override;
    void setActivityDescription(const std::string& description) override;

    // ---- Menu actions (paths relative to the volume root, "/Trash/x") ----
    void openLoginWindow();
    // False when the volume is busy and stays mounted (the busy alert was shown).
    bool logoutCurrentUser();
    void quitApplication();
    bool MoveToTrash(const std::vector<std::string>& paths);
    bool Restore(const std::vector<std::string>& paths);
    bool Delete(const std::vector<std::string>& paths);
    bool EmptyTrash();
    void RefreshFolder(const std::string& path);
    bool openAccount();
    bool upgradeAccount();
    // The update window's "update": signs out, then downloads the offered update (the last
    // offer shown) and ends the application with it for the installer. False with the reason
    // when no update is offered, one is already under way or the volume is busy.
    bool update(std::string* why = nullptr);
    bool updateUnderWay() const { return downloadUpdate_; }
    void startUninstall();

    // ---- Service notifications ----
    // Fetches them off the main thread and shows them one after another.
    void fetchNotifications();
    // Shows the next one: "Type" 1 as the update offer, anything else as a message.
    void showNextNotification();
    // What was shown so far ({"update", "text", "url"}), oldest first.
    const std::vector<nlohmann::json>& shownNotifications() const { return shown_; }

    // ---- Usage refresh ----
    void backgroundStorageQuery();
    void waitForBackgroundQueries();

    // The status menu as the validation rules make it for the selection (volume-relative
    // paths) and the current folder (empty: not on the volume). With a file-manager
    // extension connected the file actions are offered there, not here.
    std::vector<MenuItem> statusMenu(const std::vector<std::string>& selection,
                                     const std::string& currentFolder, bool extensionConnected);
    // The Finder-selection rules for the seven file-action titles.
    static bool isFolderActionItem(const std::string& title);
    static bool isEnabled(const std::string& title, const std::vector<std::string>& selection,
                          const std::string& currentFolder);

    static std::string crashHint(const std::string& reportText);
    // The banner's lines, without the rules.
    static std::vector<std::string> bannerLines();

    BVLoginView& loginView() { return *loginView_; }
    bool userLoggedIn() const { return userLoggedIn_; }
    bool driveMounted() const { return driveMounted_; }
    bool crashReportOffered() const { return crashReportOffered_; }
    const std::string& crashReportHint() const { return crashHint_; }
    UnmountEnding lastUnmountEnding() const { return lastEnding_; }
    int64_t uploadSpeedLimit() const { return uploadSpeedLimit_; }
    long networkActivityCount() const { return networkActivityCount_; }
    const std::string& toolTip() const { return toolTip_; }
    int64_t trashCount() const;
    std::string spaceInfo() const;
    std::shared_ptr<BVUserSessionItem> session() const { return session_; }
    BVKeelhavenSupervisor& keelhaven() { return *keelhaven_; }
    void stopKeelhaven() { keelhaven_->stop(); }

  private:
    // The download, half a second from now (not after this controller is gone).
    void scheduleDownload();
    // After the unmount: downloads the update, asking whether to retry a failed download.
    void retryDownload();
    void updateDownloaded(const DownloadUpdate::Result& result);
    void checkPreviousRun();
    void logBanner();
    void performStorageQuery();
    void performSynchedItemsSync();
    void emit(const std::string& event, const nlohmann::json& details = nlohmann::json::object());
    bv::Preferences& prefs() const;
    bv::SecretStore& secrets() const;
    static std::string parentOf(const std::string& path);

    Options options_;
    std::unique_ptr<BVLoginView> loginView_;
    std::unique_ptr<BVKeelhavenSupervisor> keelhaven_;
    std::shared_ptr<BVUserSessionItem> session_;
    bool userLoggedIn_ = false;
    bool driveMounted_ = false;
    bool shouldExitApp_ = false;
    bool performingUninstall_ = false;
    bool downloadUpdate_ = false;
    bool crashReportOffered_ = false;
    std::string crashHint_;
    UnmountEnding lastEnding_ = UnmountEnding::None;
    int64_t uploadSpeedLimit_ = 0;
    long networkActivityCount_ = 0;  // main thread only
    std::string toolTip_;
    // The service notifications (main thread): the list, the next to show, the one on screen.
    std::vector<nlohmann::json> notifications_;
    size_t notificationIndex_ = 0;
    std::string notifText_, notifURL_;
    nlohmann::json updateOffer_;  // the update notification being acted on
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);  // for timers that outlive it
    std::vector<nlohmann::json> shown_;

    mutable std::mutex userInfoLock_;  // guards userInfo_, spaceInfo_, trashCount_
    std::shared_ptr<BVUserInfoItem> userInfo_;
    std::string spaceInfo_;
    int64_t trashCount_ = 0;
    std::atomic<double> backgroundQueryLastUpdate_{0};
    std::mutex storageQueryLock_;  // held by the one refresh that runs; only tried
    std::unique_ptr<bv::OperationQueue> backgroundQueryQueue_;
};
