// The drive application's controller and its sign-in, driven by a scripted UI, fake
// services and a manual clock.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "ShellFakes.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/AppDelegate.h"
#include "app/Shell/BVFileNameRepair.h"
#include "app/Shell/BVLoginView.h"
#include "app/Utilities.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "platform/TmpPaths.h"
#include "platform/UserInterface.h"

namespace {

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class ShellTest : public ::testing::Test {
  protected:
    ShellTest() {
        BVLogging::setupWithPrefix("BV");
        service->clock = scheduler->clock();
        Utilities::setClock(scheduler->clock());
        Utilities::resetPresentedErrors();
        bv::UserInterface::setCurrent(ui);
    }
    ~ShellTest() override {
        app.reset();
        bv::UserInterface::setCurrent(nullptr);
        Utilities::setClock(nullptr);
    }

    AppDelegate& makeApp() {
        AppDelegate::Options options;
        options.scheduler = scheduler;
        options.services = services;
        options.signIn = service;
        options.ui = ui;
        options.preferences = &prefs;
        options.secrets = secrets;
        options.state = state;
        options.events = [this](const std::string& event, const nlohmann::json&) {
            events.push_back(event);
        };
        options.updateDownloader = updateDownloader;
        app = std::make_unique<AppDelegate>(std::move(options));
        return *app;
    }

    void storeAutoLogin(const std::string& user, const std::string& password) {
        prefs.setObject("bvuser", user);
        prefs.setBool("savePswd", true);
        prefs.setBool("autoLogin", true);
        secrets->save(BVLoginView::kKeychainService, user, password);
    }

    // Signs in interactively and delivers the mount event.
    AppDelegate& signedIn(const std::string& user = "ann") {
        auto& delegate = makeApp();
        delegate.loginView().fill({user, "pw", false, false});
        delegate.loginView().doLogin();
        delegate.driveControllerDidMountedDrive();
        return delegate;
    }

    size_t callsOf(const std::string& kind) const {
        size_t n = 0;
        for (const auto& call : ui->calls())
            n += call.kind == kind;
        return n;
    }

    bvtest::ScopedHome home;
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    std::shared_ptr<FakeSignInService> service = std::make_shared<FakeSignInService>();
    std::shared_ptr<FakeAppServices> services = std::make_shared<FakeAppServices>();
    std::shared_ptr<bv::ScriptedUserInterface> ui = std::make_shared<bv::ScriptedUserInterface>();
    bv::Preferences prefs{"com.Brimvault.Brimvault", home.path() / "prefs"};
    std::shared_ptr<bv::SecretStore> secrets =
        std::make_shared<bv::FileSecretStore>(home.path() / "secrets");
    std::shared_ptr<BVSignInState> state = std::make_shared<BVSignInState>();
    std::vector<std::string> events;
    std::function<DownloadUpdate::Result(const DownloadUpdate::Offer&,
                                         const std::function<void(int)>&)>
        updateDownloader;
    std::unique_ptr<AppDelegate> app;
};

// ---- Launch ----

TEST_F(ShellTest, AutoLoginRunsOneSecondAfterLaunchWithoutShowingTheForm) {
    storeAutoLogin("ann", "pw");
    auto& delegate = makeApp();
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(callsOf("signIn"), 0u);
    scheduler->advance(0.9);
    EXPECT_TRUE(service->authenticationTimes.empty());
    scheduler->advance(0.2);
    ASSERT_EQ(service->authenticationTimes.size(), 1u);
    EXPECT_TRUE(delegate.userLoggedIn());
    EXPECT_EQ(services->mounts, 1);
}

TEST_F(ShellTest, LaunchAfterASignOutRestartShowsTheFormInstead) {
    storeAutoLogin("ann", "pw");
    prefs.setBool("performingLogoutRestart", true);
    makeApp().applicationDidFinishLaunching();
    scheduler->advance(5);
    EXPECT_EQ(callsOf("signIn"), 1u);
    EXPECT_TRUE(service->authenticationTimes.empty());
}

TEST_F(ShellTest, ANewCrashReportIsOfferedWithItsHintAndStopsTheAutoLogin) {
    storeAutoLogin("ann", "pw");
    BVLogging::sharedInstance()->setRunningFlag(true);
    auto folder = BVLogging::diagnosticReportsFolder();
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Brimvault_2026-01-01-000000.crash") << "read: Device not configured\n";

    auto& delegate = makeApp();
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(delegate.crashReportOffered());
    EXPECT_EQ(delegate.crashReportHint(), "There is a problem with the drive.");
    EXPECT_EQ(callsOf("signIn"), 1u);

    // Handled once: the next launch does not offer it again.
    app.reset();
    auto& again = makeApp();
    again.applicationDidFinishLaunching();
    EXPECT_FALSE(again.crashReportOffered());
    EXPECT_EQ(AppDelegate::crashHint("segmentation fault"), "");
}

// ---- Sign-in ----

TEST_F(ShellTest, SigningInThreeSecondsAfterASignOutWaitsForTheRestOfTenSeconds) {
    auto& delegate = makeApp();
    state->lastSignOut = scheduler->clock()->now();
    scheduler->advance(3);
    delegate.loginView().fill({"ann", "pw", false, false});
    delegate.loginView().doLogin();
    EXPECT_TRUE(service->authenticationTimes.empty());
    EXPECT_TRUE(state->signInUnderWay);
    scheduler->advance(6.9);
    EXPECT_TRUE(service->authenticationTimes.empty());
    scheduler->advance(0.2);
    ASSERT_EQ(service->authenticationTimes.size(), 1u);
    EXPECT_NEAR(service->authenticationTimes[0] - state->lastSignOut, 10, 0.01);
}

TEST_F(ShellTest, OnlySevenCharacterCodesReachTheService) {
    service->twoFactor = true;
    ui->supplyTwoFactorCode("123456");   // six digits: refused here
    ui->supplyTwoFactorCode("7654321");  // wrong at the service
    ui->supplyTwoFactorCode("1234567");
    auto& delegate = signedIn();
    EXPECT_EQ(service->tokensReceived, (std::vector<std::string>{"7654321", "1234567"}));
    std::vector<std::string> alerts;
    for (const auto& call : ui->calls())
        if (call.kind == "alert")
            alerts.push_back(call.text);
    EXPECT_EQ(alerts, (std::vector<std::string>{"Please enter 7-digits token to continue.",
                                                "The token is invalid."}));
    EXPECT_TRUE(delegate.userLoggedIn());
}

TEST_F(ShellTest, CancellingTheCodeOfAnInteractiveSignInSignsTheSessionOut) {
    service->twoFactor = true;
    auto& delegate = makeApp();
    delegate.loginView().fill({"ann", "pw", false, false});
    delegate.loginView().doLogin();
    EXPECT_FALSE(delegate.userLoggedIn());
    EXPECT_EQ(service->logouts, 1);
    EXPECT_EQ(services->sessionsStarted, 0);
    EXPECT_EQ(services->mounts, 0);
    EXPECT_EQ(events, std::vector<std::string>{"signInFailed"});
    EXPECT_FALSE(state->signInUnderWay);
}

TEST_F(ShellTest, CancellingTheCodeOfTheAutomaticSignInEndsTheProgramWithOne) {
    storeAutoLogin("ann", "pw");
    service->twoFactor = true;
    makeApp().applicationDidFinishLaunching();
    scheduler->advance(1);
    EXPECT_EQ(services->exitStatuses, std::vector<int>{1});
    EXPECT_EQ(service->logouts, 1);
}

TEST_F(ShellTest, SavePasswordAndAutoLoginBoxesAreCoupled) {
    auto& view = makeApp().loginView();
    view.setAutoLogin(true);
    EXPECT_TRUE(view.savePswd);
    view.setSavePassword(false);
    EXPECT_FALSE(view.autLogin);

    // A saved password goes when the form is cancelled with the box off.
    secrets->save(BVLoginView::kKeychainService, "ann", "pw");
    view.username = "ann";
    view.doCancel();
    EXPECT_FALSE(secrets->find(BVLoginView::kKeychainService, "ann"));
}

TEST_F(ShellTest, ASuccessfulSignInWithSavePasswordRemembersTheUser) {
    auto& delegate = makeApp();
    delegate.loginView().fill({"ann", "pw", false, true});
    delegate.loginView().doLogin();
    EXPECT_EQ(secrets->find(BVLoginView::kKeychainService, "ann"), "pw");
    EXPECT_EQ(delegate.loginView().listOfSavedEmails(), std::vector<std::string>{"ann"});
    EXPECT_TRUE(prefs.boolForKey("autoLogin"));
    EXPECT_TRUE(prefs.boolForKey("savePswd"));
}

TEST_F(ShellTest, AutoLoginIsRetriedEveryFifteenSecondsUntilTheServiceRefuses) {
    storeAutoLogin("ann", "pw");
    service->failures = {-200, -200, -197};
    makeApp().applicationDidFinishLaunching();
    scheduler->advance(1);
    scheduler->advance(14.9);
    EXPECT_EQ(service->authenticationTimes.size(), 1u);
    scheduler->advance(120);
    ASSERT_EQ(service->authenticationTimes.size(), 3u);
    EXPECT_NEAR(service->authenticationTimes[1] - service->authenticationTimes[0], 15, 0.01);
    EXPECT_NEAR(service->authenticationTimes[2] - service->authenticationTimes[1], 15, 0.01);
    // Only the refusal is shown.
    EXPECT_EQ(callsOf("alert"), 1u);
    EXPECT_EQ(scheduler->pendingTimers(), 0u);
}

TEST_F(ShellTest, TheFiveSessionFilesHoldExactlyTheDesignedBytes) {
    struct Case {
        bool accountUser;
        int64_t limit;
        int32_t access;
    };
    for (auto c : {Case{false, 0, 0}, Case{true, 5000, 1}}) {
        service->accountUser = c.accountUser;
        service->speedLimit = c.limit;
        signedIn("ann");
        EXPECT_EQ(fileBytes(bv::bvTmpPath("/tmp/BrimvaultSession.id")), "sess-ann");
        EXPECT_EQ(fileBytes(bv::bvTmpPath("/tmp/BrimvaultID.id")), "ann");
        EXPECT_EQ(fileBytes(bv::bvTmpPath("/tmp/BrimvaultDriveName.dat")), "Cloud");
        EXPECT_EQ(fileBytes(bv::bvTmpPath("/tmp/access.dat")),
                  std::string(reinterpret_cast<const char*>(&c.access), 4));
        uint64_t limit = static_cast<uint64_t>(c.limit);
        EXPECT_EQ(fileBytes(bv::bvTmpPath("/tmp/Inhb.dat")),
                  std::string(reinterpret_cast<const char*>(&limit), 8));
        for (auto name : {"/tmp/BrimvaultSession.id", "/tmp/BrimvaultID.id",
                          "/tmp/BrimvaultDriveName.dat", "/tmp/access.dat", "/tmp/Inhb.dat"}) {
            struct stat st {};
            ASSERT_EQ(::lstat(bv::bvTmpPath(name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        }
        app->waitForBackgroundQueries();
        app.reset();
    }
}

TEST_F(ShellTest, ASessionFileIsWrittenAnewNotThroughALinkPlantedAtItsName) {
    auto target = home.path() / "victim";
    std::ofstream(target) << "keep";
    std::filesystem::create_symlink(target, bv::bvTmpPath("/tmp/BrimvaultID.id"));
    signedIn("ann");
    EXPECT_EQ(fileBytes(target.string()), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(bv::bvTmpPath("/tmp/BrimvaultID.id")));
    EXPECT_EQ(fileBytes(bv::bvTmpPath("/tmp/BrimvaultID.id")), "ann");
    app->waitForBackgroundQueries();
}

// ---- Usage refresh ----

TEST_F(ShellTest, TwoUsageRefreshesWithinSixtySecondsMakeOneRequest) {
    auto& delegate = signedIn();
    delegate.waitForBackgroundQueries();
    EXPECT_EQ(services->userInfoRequests, 1);
    scheduler->advance(30);
    delegate.backgroundStorageQuery();
    delegate.waitForBackgroundQueries();
    EXPECT_EQ(services->userInfoRequests, 1);
    scheduler->advance(31);
    delegate.backgroundStorageQuery();
    delegate.waitForBackgroundQueries();
    EXPECT_EQ(services->userInfoRequests, 2);
    EXPECT_FALSE(delegate.spaceInfo().empty());
}

TEST_F(ShellTest, NotificationsAreFetchedHalfASecondAfterTheSignInAndShownInTurn) {
    services->notifications = {
        {{"Type", 0}, {"Text", "Maintenance tonight"}, {"URL", "https://x/m"}},
        "not a dictionary",
        {{"Type", 1}, {"Text", "Version 2 is out"}, {"URL", "https://x/v2.deb"}},
        {{"Type", "1"}, {"Text", 7}}};
    auto& delegate = signedIn();
    EXPECT_EQ(services->notificationRequests, 0);
    scheduler->advance(0.5);
    EXPECT_EQ(services->notificationRequests, 1);
    const auto& shown = delegate.shownNotifications();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0],
              (nlohmann::json{
                  {"update", false}, {"text", "Maintenance tonight"}, {"url", "https://x/m"}}));
    EXPECT_EQ(shown[1],
              (nlohmann::json{
                  {"update", true}, {"text", "Version 2 is out"}, {"url", "https://x/v2.deb"}}));
    // Only the number 1 marks an update; a text of the wrong kind is shown as empty.
    EXPECT_EQ(shown[2], (nlohmann::json{{"update", false}, {"text", ""}, {"url", ""}}));
    EXPECT_EQ(callsOf("show"), 3u);
}

// ---- Quit, sign-out and the unmount ----

TEST_F(ShellTest, QuitWhileSignedOutEndsAtOnceWithOne) {
    makeApp().quitApplication();
    EXPECT_EQ(services->exitStatuses, std::vector<int>{1});
    EXPECT_EQ(services->unmounts, 0);
    EXPECT_EQ(services->cancelAllUploadsPosts, 1);
}

TEST_F(ShellTest, QuitWhileSignedInUnmountsFirstAndEndsAfterTheUnmount) {
    auto& delegate = signedIn();
    delegate.quitApplication();
    EXPECT_EQ(services->unmounts, 1);
    EXPECT_TRUE(services->exitStatuses.empty());
    delegate.driveControllerDidUnmountedDrive();
    EXPECT_EQ(delegate.lastUnmountEnding(), AppDelegate::UnmountEnding::Quit);
    EXPECT_EQ(services->exitStatuses, std::vector<int>{0});
    EXPECT_EQ(services->serviceLogouts, 1);
    EXPECT_FALSE(delegate.userLoggedIn());
    EXPECT_EQ(callsOf("alert"), 0u);
    delegate.waitForBackgroundQueries();
}

TEST_F(ShellTest, TheUnmountEndsAsTheStateSays) {
    using Ending = AppDelegate::UnmountEnding;
    struct Case {
        const char* name;
        std::function<void(AppDelegate&)> before;
        Ending ending;
        bool exits;
        int relaunches;
        size_t alerts;
    };
    const std::vector<Case> cases = {
        {"sign-out", [](AppDelegate& d) { d.logoutCurrentUser(); }, Ending::Restart, true, 1, 0},
        {"quit", [](AppDelegate& d) { d.quitApplication(); }, Ending::Quit, true, 0, 0},
        {"outside eject", [](AppDelegate&) {}, Ending::Terminated, true, 0, 1},
        {"update", [](AppDelegate& d) { EXPECT_TRUE(d.update()); }, Ending::UpdateWaiting, false, 0,
         0},
        {"uninstall", [](AppDelegate& d) { d.startUninstall(); }, Ending::Uninstalling, false, 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        services = std::make_shared<FakeAppServices>();
        ui->clearCalls();
        prefs.setBool("performingLogoutRestart", false);
        state->lastSignOut = 0;
        services->notifications = {{{"Type", 1}, {"URL", "https://x/v2.deb"}}};
        auto& delegate = signedIn();
        scheduler->advance(0.5);
        c.before(delegate);
        delegate.driveControllerDidUnmountedDrive();
        EXPECT_EQ(delegate.lastUnmountEnding(), c.ending);
        EXPECT_EQ(services->exitStatuses.empty(), !c.exits);
        EXPECT_EQ(services->relaunches, c.relaunches);
        EXPECT_EQ(callsOf("alert"), c.alerts);
        EXPECT_EQ(services->serviceLogouts, 1);
        EXPECT_GT(state->lastSignOut.load(), 0);
        delegate.waitForBackgroundQueries();
        app.reset();
    }
}

// The offer's download runs after the unmount; a failure is retried only when the user asks,
// and giving up goes back to the sign-in rather than leaving a signed-out daemon behind.
TEST_F(ShellTest, AnOfferedUpdateIsDownloadedAfterTheUnmountAndRetriedOnlyWhenAsked) {
    struct Case {
        const char* name;
        std::vector<bool> downloads;  // each attempt's outcome
        std::vector<int> answers;     // to "Retry" / "Cancel"
        const char* event;
        int relaunches;
    };
    const std::vector<Case> cases = {
        {"first try", {true}, {}, "updateReady", 0},
        {"retried", {false, true}, {0}, "updateReady", 0},
        {"given up", {false, false}, {0, 1}, "updateFailed", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        services = std::make_shared<FakeAppServices>();
        events.clear();
        ui->clearCalls();
        state->lastSignOut = 0;
        std::vector<std::string> urls;
        size_t attempt = 0;
        updateDownloader = [&](const DownloadUpdate::Offer& offer,
                               const std::function<void(int)>& progress) {
            urls.push_back(offer.url);
            progress(50);
            DownloadUpdate::Result result;
            result.ok = c.downloads.at(attempt++);
            result.path = "/private/update.deb";
            result.error = result.ok ? "" : "cut off";
            return result;
        };
        for (int answer : c.answers)
            ui->supplyAlertAnswer(answer);
        services->notifications = {
            {{"Type", 1}, {"Text", "Version 2"}, {"URL", "https://x/v2.deb"}, {"Size", 9}}};
        auto& delegate = signedIn();
        scheduler->advance(0.5);
        ASSERT_TRUE(delegate.update());
        EXPECT_FALSE(delegate.update()) << "a second one while the first is under way";
        EXPECT_EQ(services->unmounts, 1);
        EXPECT_EQ(services->cancelAllUploadsPosts, 1);
        delegate.driveControllerDidUnmountedDrive();
        EXPECT_TRUE(urls.empty()) << "the download waits half a second after the unmount";
        scheduler->advance(0.5);
        EXPECT_EQ(urls, std::vector<std::string>(c.downloads.size(), "https://x/v2.deb"));
        EXPECT_EQ(callsOf("alert"), c.answers.size() + (c.relaunches ? 0 : 1));
        EXPECT_NE(std::find(events.begin(), events.end(), c.event), events.end());
        EXPECT_EQ(services->exitStatuses, std::vector<int>{0});
        EXPECT_EQ(services->relaunches, c.relaunches);
        delegate.waitForBackgroundQueries();
        app.reset();
    }
    // Without an offer there is nothing to download and nobody is signed out.
    services = std::make_shared<FakeAppServices>();
    state->lastSignOut = 0;
    auto& delegate = signedIn();
    scheduler->advance(0.5);
    EXPECT_FALSE(delegate.update());
    EXPECT_EQ(services->unmounts, 0);
    // A busy volume refuses the update and leaves it to be asked for again.
    services->notifications = {{{"Type", 1}, {"URL", "https://x/v2.deb"}}};
    delegate.fetchNotifications();
    services->unmountSucceeds = false;
    std::string why;
    EXPECT_FALSE(delegate.update(&why));
    EXPECT_NE(why.find("in use"), std::string::npos) << why;
    services->unmountSucceeds = true;
    EXPECT_TRUE(delegate.update());
}

TEST_F(ShellTest, AnUnmountWithNobodySignedInStopsThere) {
    auto& delegate = makeApp();
    delegate.driveControllerDidUnmountedDrive();
    EXPECT_EQ(delegate.lastUnmountEnding(), AppDelegate::UnmountEnding::NotSignedIn);
    EXPECT_EQ(services->serviceLogouts, 0);
    EXPECT_TRUE(services->exitStatuses.empty());
}

// ---- File actions and the menu ----

TEST_F(ShellTest, RestoringThreeItemsLowersTheTrashCountByThreeNotBelowZero) {
    services->trashCountAtService = 5;
    auto& delegate = signedIn();
    delegate.waitForBackgroundQueries();
    ASSERT_EQ(delegate.trashCount(), 5);
    EXPECT_TRUE(delegate.Restore({"/Trash/a", "/Trash/b", "/Trash/c"}));
    EXPECT_EQ(delegate.trashCount(), 2);
    EXPECT_TRUE(delegate.Restore({"/Trash/d", "/Trash/e", "/Trash/f"}));
    EXPECT_EQ(delegate.trashCount(), 0);
    EXPECT_EQ(services->trashPurges, 2);
}

TEST_F(ShellTest, AFailingBatchStopsAtTheFailureAndStillTidiesUp) {
    auto& delegate = signedIn();
    delegate.waitForBackgroundQueries();
    services->failingPath = "/Docs/b";
    EXPECT_FALSE(delegate.MoveToTrash({"/Docs/a", "/Docs/b", "/Docs/c"}));
    EXPECT_EQ(services->actedOn, (std::vector<std::string>{"/Docs/a", "/Docs/b"}));
    EXPECT_EQ(delegate.trashCount(), 1);
    EXPECT_EQ(services->trashPurges, 1);
    EXPECT_EQ(services->changedFolders.front(), "/Trash");
    EXPECT_EQ(callsOf("alert"), 1u);
}

TEST_F(ShellTest, FileActionsFollowTheSelectionRules) {
    struct Case {
        const char* title;
        std::vector<std::string> selection;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {"Share", {"/Docs/a"}, true},
        {"Share", {"/Docs/a", "/Docs/b"}, false},
        {"Share", {"/Trash/a"}, false},
        {"Show Properties", {"/Shared Folders/x"}, false},
        {"Restore", {"/Trash/a", "/Trash/b"}, true},
        {"Restore", {"/Trash"}, false},
        {"Delete", {"/Trash/a", "/Docs/b"}, false},
        {"Move To Trash", {"/Docs/a"}, true},
        {"Move To Trash", {"/Trash/a"}, false},
        {"Move To Trash", {"/Shared Folders/bob/x"}, false},
        {"Move To Trash", {"/Shared Folders/bob/x/y"}, true},
        {"Move To Trash", {}, false},
        {"Empty Trash", {"/Trash/a"}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AppDelegate::isEnabled(c.title, c.selection, ""), c.enabled)
            << c.title << " " << (c.selection.empty() ? "" : c.selection[0]);
    EXPECT_TRUE(AppDelegate::isEnabled("Refresh Folder", {}, "/Docs"));
    EXPECT_FALSE(AppDelegate::isEnabled("Refresh Folder", {}, ""));
}

TEST_F(ShellTest, TheMenuHoldsBackFileActionsWhileAnExtensionIsConnected) {
    auto& delegate = makeApp();
    auto titles = [](const std::vector<AppDelegate::MenuItem>& menu) {
        std::map<std::string, bool> enabled;
        for (const auto& item : menu)
            enabled[item.title] = item.enabled;
        return enabled;
    };
    auto signedOut = titles(delegate.statusMenu({}, "", false));
    EXPECT_TRUE(signedOut.count("Waiting for Login.."));
    EXPECT_TRUE(signedOut["Login"]);
    EXPECT_FALSE(signedOut["Logout"]);
    EXPECT_TRUE(signedOut["Uninstall"]);

    delegate.loginView().fill({"ann", "pw", false, false});
    delegate.loginView().doLogin();
    delegate.driveControllerDidMountedDrive();
    auto plain = delegate.statusMenu({"/Docs/a"}, "/Docs", false);
    auto connected = delegate.statusMenu({"/Docs/a"}, "/Docs", true);
    EXPECT_EQ(plain.size() - connected.size(), 7u);
    auto on = titles(plain);
    EXPECT_TRUE(on["Share"]);
    EXPECT_TRUE(on["Sync And Backup..."]);
    EXPECT_TRUE(on["Empty Trash (0)"]);
    EXPECT_FALSE(on["Login"]);
    EXPECT_FALSE(titles(connected).count("Share"));
    delegate.waitForBackgroundQueries();
}

}  // namespace

// ---- The file-name repair tool ----

namespace {

TEST(FileNameRepairTest, RenamesFilesThenFoldersDeepestFirstAndLogsEachRename) {
    bvtest::TempDir dir;
    auto root = dir.path() / " top:dir";
    std::filesystem::create_directories(root / "a?b" / "  c|d");
    std::ofstream(root / "a?b" / "  c|d" / "x*y.txt") << "1";
    std::ofstream(root / "fine.txt") << "2";
    std::ofstream(root / "a?b" / "#taken") << "3";
    std::ofstream(root / "a?b" / "<taken") << "4";
    auto logs = dir.path() / "logs";
    std::filesystem::create_directories(logs);

    EXPECT_EQ(BVFileNameRepair::repairedName("  a\\b/c:d*e?f\"g<h>i|j"), "a#b#c#d#e#f#g#h#i#j");
    auto result = BVFileNameRepair::run(root.string(), logs.string());
    // The file whose repaired name is taken stops the tool before any folder is renamed.
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(std::filesystem::exists(root / "a?b" / "<taken"));

    std::filesystem::remove(root / "a?b" / "<taken");
    result = BVFileNameRepair::run(root.string(), logs.string());
    EXPECT_TRUE(result.ok) << result.error;
    auto top = dir.path() / "top#dir";
    EXPECT_TRUE(std::filesystem::exists(top / "a#b" / "c#d" / "x#y.txt"));
    EXPECT_TRUE(std::filesystem::exists(top / "fine.txt"));
    EXPECT_EQ(result.renamed, 4u);
    std::string log = bvtest::contentsOfFilesIn(logs);
    EXPECT_NE(log.find("x*y.txt\t"), std::string::npos);
    EXPECT_NE(log.find("\tFolder\r"), std::string::npos);
    EXPECT_LT(log.find("  c|d/\t"), log.find(" top:dir/\t"));
}

}  // namespace
