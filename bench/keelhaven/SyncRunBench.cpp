// Whole backup runs against the reference service on loopback: 5,000 files of 4 KiB in 50
// folders, local to cloud. Prints the initial run, a run with nothing changed, a run after
// touching 50 files, and `rsync -a` of the same tree to a local folder as the machine's floor.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "SyncFolderPair.h"
#include "app/Logging/BVLogging.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main() {
    bvtest::ScopedHome home;
    BVLogging::setupWithPrefix("KH");
    bvtest::ReferenceServer::Options options;
    options.seed = nlohmann::json::array(
        {{{"username", "bench"}, {"password", "pw-bench"}, {"max_storage_mib", 1024}}});
    bvtest::ReferenceServer server(options);
    khtest::SyncFolderPair pair(server, "bench", "pw-bench", "Bench", SyncBackupTask::kBackup);
    // KH_BENCH_THREADS: the task's worker count (4 by default, as a new task has).
    const char* threads = std::getenv("KH_BENCH_THREADS");
    pair.task()->setThreadCount(threads ? std::atoi(threads) : 4);
    const std::string block(4096, 'k');
    const int64_t t0 = 1'600'000'000;
    for (int folder = 0; folder < 50; ++folder)
        for (int file = 0; file < 100; ++file)
            pair.writeLocal("d" + std::to_string(folder) + "/f" + std::to_string(file),
                            block + std::to_string(file), t0);

    auto start = Clock::now();
    int64_t status = pair.run();
    std::printf("initial run:        %.2f s (status %lld, %lld items)\n", seconds(start),
                static_cast<long long>(status),
                static_cast<long long>(pair.task()->itemsProcessed()));
    start = Clock::now();
    status = pair.run();
    std::printf("no-change run:      %.2f s (status %lld)\n", seconds(start),
                static_cast<long long>(status));
    for (int i = 0; i < 50; ++i)
        pair.writeLocal("d" + std::to_string(i) + "/f7", block + "touched", t0 + 100);
    start = Clock::now();
    status = pair.run();
    std::printf("50-touched run:     %.2f s (status %lld, %lld items)\n", seconds(start),
                static_cast<long long>(status),
                static_cast<long long>(pair.task()->itemsProcessed()));

    bvtest::TempDir copy("khrsync");
    std::string command =
        "rsync -a '" + pair.localRoot().string() + "/' '" + copy.path().string() + "/'";
    start = Clock::now();
    int rc = std::system(command.c_str());
    std::printf("rsync -a initial:   %.2f s (rc %d)\n", seconds(start), rc);
    start = Clock::now();
    rc = std::system(command.c_str());
    std::printf("rsync -a no-change: %.2f s (rc %d)\n", seconds(start), rc);
    return 0;
}
