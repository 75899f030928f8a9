#include "brimvault/BVDaemon.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "BVApi/Controllers/BVSharedControllers.h"
#include "BVApi/Networking/BVApiClient.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/AppDelegate.h"
#include "app/Utilities.h"
#include "brimvault/BVControlClient.h"
#include "brimvault/BVControlServer.h"
#include "brimvault/BVDaemonUserInterface.h"
#include "brimvault/BVExtensionLink.h"
#include "brimvault/BVLiveAppServices.h"
#include "comms/CommSocketClient.h"
#include "comms/CommSocketServer.h"
#include "platform/CrashReporter.h"
#include "platform/RunLoop.h"
#include "platform/TmpPaths.h"

namespace {

constexpr const char* kDesktopNotifier = "/usr/bin/notify-send";

// Mount events and network activity reach the controller through these, held by the drive
// controller and the service client while the controller lives. Mount events come on the
// main thread; activity comes from the network threads, so it is forwarded under appLock_
// and detach() (main thread, before the controller goes) waits for a forwarding in flight.
// What the controller schedules on the main loop from there never runs after it is gone:
// the loop has stopped by then.
class DriveEvents : public BVDriveControllerDelegate, public BVApiClientActivityDelegate {
  public:
    explicit DriveEvents(AppDelegate* app) : app_(app) {}
    void driveControllerDidMountedDrive() override {
        if (auto* app = onMain())
            app->driveControllerDidMountedDrive();
    }
    void driveControllerDidUnmountedDrive() override {
        if (auto* app = onMain())
            app->driveControllerDidUnmountedDrive();
    }
    void driveControllerDidFailedToMount(const bv::Error& error) override {
        if (auto* app = onMain())
            app->driveControllerDidFailedToMount(error);
    }
    void didStartedRequest() override {
        std::lock_guard hold(appLock_);
        if (app_)
            app_->didStartedRequest();
    }
    void didFinishedRequest() override {
        std::lock_guard hold(appLock_);
        if (app_)
            app_->didFinishedRequest();
    }
    void setActivityDescription(const std::string& text) override {
        std::lock_guard hold(appLock_);
        if (app_)
            app_->setActivityDescription(text);
    }
    void detach() {
        std::lock_guard hold(appLock_);
        app_ = nullptr;
    }

  private:
    // The main thread is the only writer, so it reads without the lock (a mount event may
    // start requests, whose activity takes it).
    AppDelegate* onMain() const { return app_; }

    std::mutex appLock_;  // guards app_ against the network threads
    AppDelegate* app_;
};

// The parent of a daemon that goes to the background waits until the child answers.
int detach() {
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child > 0) {
        ::close(ready[1]);
        char status = 1;
        ssize_t n = ::read(ready[0], &status, 1);
        ::_exit(n == 1 && status == 0 ? 0 : 1);
    }
    ::close(ready[0]);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2)
        ::close(null);
    return ready[1];
}

void tellParent(int& fd, bool ok) {
    if (fd < 0)
        return;
    char status = ok ? 0 : 1;
    (void)!::write(fd, &status, 1);
    ::close(fd);
    fd = -1;
}

}  // namespace

int runDaemon(const BVDaemonOptions& options, const std::string& selfPath) {
    int readyFd = options.foreground ? -1 : detach();

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    bv::RunLoop::makeCurrentThreadMain();
    BVLogging::setupWithPrefix("BV");
    bv::CrashReporter::install("Brimvault");
    if (!options.mountDirectory.empty())
        Utilities::setMountDirectoryOverride(options.mountDirectory);

    auto ui = std::make_shared<BVDaemonUserInterface>();
    bv::UserInterface::setCurrent(ui);
    auto scheduler = std::make_shared<BVRunLoopScheduler>();
    auto services = std::make_shared<BVLiveAppServices>();
    // Prompts and alerts also reach a graphical session, which may have no terminal open.
    if ((std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) &&
        BVKeelhavenSupervisor::isSafeToRun(kDesktopNotifier))
        ui->setNotifier([services](const std::string& title, const std::string& body) {
            services->spawnDesktopHelper(
                {kDesktopNotifier, "--app-name=Brimvault", "--", title, body});
        });
    BVControlServer* control = nullptr;
    BVExtensionLink* extension = nullptr;

    AppDelegate::Options appOptions;
    appOptions.scheduler = scheduler;
    appOptions.services = services;
    appOptions.signIn = std::make_shared<BVApiSignInService>();
    appOptions.ui = ui;
    appOptions.keelhavenBinary =
        (std::filesystem::path(selfPath).parent_path() / "keelhaven").string();
    appOptions.keelhavenMountDirectory = Utilities::driveMountDirectory();
    appOptions.sendKeelhavenClose = [] {
        auto khv = CommSocketClient::initWithSocketURL(bv::bvTmpPath("/tmp/brimvault.sock"));
        bool sent = khv->startClient() && khv->messageString("close");
        khv->stopClient();
        return sent;
    };
    appOptions.events = [&control, &extension](const std::string& event,
                                               const nlohmann::json& details) {
        if (extension) {
            if (event == "signedIn")
                extension->start();
            else if (event == "mounted")
                extension->setDriveRoot(details.value("mountPoint", ""));
            else if (event == "signedOut")
                extension->shutdownClients();
        }
        if (control)
            control->applicationEvent(event, details);
    };

    int status = 0;
    bool relaunch = false;
    {
        // Destroyed in reverse: the controller's queues stop before the services and the
        // scheduler's background queue; the shared controllers stop last (the guard).
        BVSharedControllers::Guard sharedControllers;
        auto app = std::make_unique<AppDelegate>(appOptions);
        auto events = std::make_shared<DriveEvents>(app.get());
        services->setDriveDelegate(events);
        BVApiClient::sharedClient()->setActivityDelegate(events);

        auto extensionLink = std::make_unique<BVExtensionLink>(*app, ui);
        extension = extensionLink.get();
        BVControlServer server(*app, *ui, *services);
        server.setExtensionConnected([&extensionLink] { return extensionLink->connected(); });
        if (!server.start()) {
            std::cerr << "brimvault: a daemon is already running (or the runtime folder "
                      << "cannot be used)" << std::endl;
            tellParent(readyFd, false);
            return 1;
        }
        control = &server;
        ui->setListener([&server](const nlohmann::json& event) { server.interfaceEvent(event); });
        // The command socket of the file-system helpers.
        auto commandServer =
            CommSocketServer::initAndStartServer(bv::bvTmpPath("/tmp/brimvaultupload.sock"));

        std::thread signalWaiter([&] {
            int signalNumber = 0;
            sigwait(&stopSignals, &signalNumber);
            if (signalNumber != SIGUSR2)
                bv::RunLoop::main().perform([&] { app->applicationShouldTerminate(); });
        });

        app->applicationDidFinishLaunching();
        tellParent(readyFd, true);
        bv::RunLoop::main().run();

        // Shutdown order: prompts end (so no sign-in waits), the extension's clients are told,
        // Keelhaven stops, the volume goes, the session's queue stops (resumed uploads stay
        // in the journal), the extension server ends, the controller's queues end, then the
        // sockets.
        ui->setListener({});
        ui->setNotifier({});
        extensionLink->shutdownClients();
        ui->cancelAll();
        app->stopKeelhaven();
        if (!services->driveController().unmounted() &&
            !services->driveController().mountPoint().empty())
            services->driveController().unmount();
        services->stopSession();
        control = nullptr;
        extension = nullptr;
        server.setExtensionConnected({});
        extensionLink.reset();
        BVApiClient::sharedClient()->setActivityDelegate(nullptr);
        events->detach();
        app.reset();
        sigaddset(&stopSignals, SIGUSR2);
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
        signalWaiter.join();
        if (commandServer)
            commandServer->stopServer();
        status = services->exitStatus();
        relaunch = services->relaunchWanted();
    }
    if (relaunch) {
        BVLog("Opening %@", selfPath);
        std::vector<const char*> argv{selfPath.c_str(), "daemon", "--foreground"};
        if (!options.mountDirectory.empty()) {
            argv.push_back("--mount-dir");
            argv.push_back(options.mountDirectory.c_str());
        }
        argv.push_back(nullptr);
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        ::execv(selfPath.c_str(), const_cast<char* const*>(argv.data()));
        BVLog("Result - %@", std::strerror(errno));
    }
    return status;
}
