// bvmount: a test-only program that signs in to a service and serves the volume at a folder
// until it is unmounted or receives SIGTERM/SIGINT. The volume tests run it as a child process
// so that they can kill it like a crashed daemon.
//
//   bvmount --url URL --ca FILE --user NAME --password PW --mountpoint DIR [--skip-sleeps]
//           [--refresh-requests FILE]
//
// --skip-sleeps: the volume's clock skips its waits (read retries, the create throttle, the
// read-ahead's pauses) instead of sleeping, so tests see their outcome at once.
// --refresh-requests: at SIGUSR1, the folders named in FILE (one volume path a line) get a
// background refresh as if their listings had aged past the refresh ages; once the refresh
// and the kernel's invalidations are done, FILE.done is written.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVDownloadController.h"
#include "BVApi/Controllers/BVSharedControllers.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVSignInSequence.h"
#include "DriveFS/BVDriveController.h"
#include "DriveFS/BVDriveFSDebugProxy.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/UserInterface.h"

namespace {

// Time that jumps over every wait instead of spending it.
class SkippingClock : public bv::Clock {
  public:
    double now() const override { return system_->now() + skipped_.load(); }
    double monotonic() const override { return system_->monotonic() + skipped_.load(); }
    void sleepFor(double seconds) override {
        double current = skipped_.load();
        while (!skipped_.compare_exchange_weak(current, current + seconds)) {
        }
    }

  private:
    std::shared_ptr<bv::Clock> system_ = bv::Clock::system();
    std::atomic<double> skipped_{0};
};

class Delegate : public BVDriveControllerDelegate {
  public:
    void driveControllerDidMountedDrive() override { std::cout << "mounted" << std::endl; }
    void driveControllerDidUnmountedDrive() override {
        std::cout << "unmounted" << std::endl;
        bv::RunLoop::main().stop();
    }
    void driveControllerDidFailedToMount(const bv::Error& error) override {
        std::cerr << "mount failed: " << error.description() << std::endl;
        failed = true;
        bv::RunLoop::main().stop();
    }
    bool failed = false;
};

// Refreshes the folders a test names, through a refresher of its own whose clock jumps past
// the refresh ages; the refresh, its change report and the volume's invalidation are the
// daemon's own.
void refreshRequestedFolders(const std::string& requests, BVDriveController& controller) {
    auto clock = std::make_shared<SkippingClock>();
    BVBackgroundFolderUpdateController::Options options;
    options.clock = clock;
    options.debugParam = [](const std::string& name) { return name == "bfu_enabled"; };
    options.folderChanged = [](const std::string&) {};
    options.startRevisitThread = false;
    BVBackgroundFolderUpdateController refresher(options);
    clock->sleepFor(BVBackgroundFolderUpdateController::kFullUpdateAge + 1);
    std::ifstream in(requests);
    std::string folder;
    auto cache = BVCacheController::sharedController();
    while (std::getline(in, folder))
        if (auto listing = cache ? cache->fetchFolderListAt(folder) : nullptr)
            refresher.queueUpdate(listing);
    refresher.waitUntilUpdatesFinish();
    refresher.stop();
    controller.waitUntilKernelCachesInvalidated();
    const std::string done = requests + ".done";
    std::ofstream(done + ".part") << "done\n";
    std::filesystem::rename(done + ".part", done);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Serves the Brimvault volume for tests"};
    std::string url, ca, user, password, mountPoint;
    app.add_option("--url", url)->required();
    app.add_option("--ca", ca)->required();
    app.add_option("--user", user)->required();
    app.add_option("--password", password)->required();
    app.add_option("--mountpoint", mountPoint)->required();
    bool skipSleeps = false;
    app.add_flag("--skip-sleeps", skipSleeps);
    std::string refreshRequests;
    app.add_option("--refresh-requests", refreshRequests);
    CLI11_PARSE(app, argc, argv);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The shared controllers' threads and the cache's pending writes end before exit does.
    BVSharedControllers::Guard stopControllers;
    bv::RunLoop::makeCurrentThreadMain();
    BVLogging::setupWithPrefix("BV");
    bv::UserInterface::setCurrent(std::make_shared<bv::HeadlessUserInterface>());

    // Every request configuration of the process (also the manage controller's chunk
    // uploads) takes the service from the environment.
    setenv(BVApiRequestConfiguration::kApiBaseURLEnvironment, url.c_str(), 1);
    setenv(BVApiRequestConfiguration::kCAFileEnvironment, ca.c_str(), 1);
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(url);
    configuration.setCaFile(ca);
    auto* client = BVApiClient::sharedClient();
    client->setConfiguration(configuration);
    auto signedIn = BVSignInSequence::signIn(*client, user, password, nullptr);
    if (!signedIn.session) {
        std::cerr << "sign-in failed: " << signedIn.error.description() << std::endl;
        return 2;
    }
    auto cacheRoot = Utilities::cacheRootPathFor(signedIn.session.get());
    if (!cacheRoot) {
        std::cerr << "no cache folder" << std::endl;
        return 2;
    }
    BVCacheController::cacheControllerAt(*cacheRoot)->storeItem(signedIn.session);
    BVTmpController::initSharedController();
    // Reads of the volume stream through the download controller into the content cache.
    BVDownloadController::Options downloads;
    downloads.refresher = BVBackgroundFolderUpdateController::sharedController();
    BVDownloadController::installAsDownloader(downloads);

    auto delegate = std::make_shared<Delegate>();
    int result = 0;
    {
        BVDriveController::FileSystemFactory makeFileSystem;
        if (skipSleeps)
            makeFileSystem = [] {
                BVDriveFS::Options options;
                options.clock = std::make_shared<SkippingClock>();
                return std::make_unique<BVDriveFSDebugProxy>(std::move(options));
            };
        BVDriveController controller(makeFileSystem);
        controller.setDelegate(delegate);
        std::thread signalWaiter([&] {
            int signalNumber = 0;
            while (sigwait(&stopSignals, &signalNumber) == 0 && signalNumber == SIGUSR1) {
                if (refreshRequests.empty())
                    continue;
                try {
                    refreshRequestedFolders(refreshRequests, controller);
                } catch (const std::exception& e) {
                    std::cerr << "refresh failed: " << e.what() << std::endl;
                }
            }
            bv::RunLoop::main().perform([&] { controller.unmount(); });
        });
        controller.mountAt(mountPoint);
        bv::RunLoop::main().run();
        result = delegate->failed ? 1 : 0;
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
        signalWaiter.join();
    }
    return result;
}
