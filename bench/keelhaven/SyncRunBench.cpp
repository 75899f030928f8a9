// Whole backup runs against the reference service on loopback: 5,000 files of 4 KiB in 50
// folders, local to cloud. Prints the initial run, a run with nothing changed, a run after
// touching 50 files, and `rsync -a` of the same tree to a local folder as the machine's floor,
// then one large file up and down against curl. Each run also prints the CPU seconds of
// Keelhaven and of the service. KH_BENCH_THREADS: workers (4); KH_BENCH_BIG_MIB: the large
// file's size (256; 0 leaves that part out); KH_BENCH_SERVER_ARGS: more service options;
// KH_BENCH_PERF_FIFO: the control FIFO of a `perf record -D -1 --control fifo:PATH`, which
// is then enabled for the initial run only (the tree's creation before it is left out).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Keelhaven/SyncBackupScheduler/SyncBackupLogger.h"
#include "SyncFolderPair.h"
#include "app/Logging/BVLogging.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// "d<folder>/<leaf>", appended piece by piece: GCC 12 warns falsely (-Wrestrict) about the
// inlined `"d" + std::to_string(...)`.
std::string pathIn(int folder, const std::string& leaf, int number = -1) {
    std::string path = "d";
    path += std::to_string(folder);
    path += '/';
    path += leaf;
    if (number >= 0)
        path += std::to_string(number);
    return path;
}

// CPU seconds (user and system) of this process and of the service, so that figures taken
// on a loaded machine can still be compared: wall time there mostly measures the others.
double ownCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The service is our only child called brimvault-server.
pid_t serverPid() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, comm, state, parent;
        if (stat >> pid >> comm >> state >> parent && parent == std::to_string(::getpid()) &&
            comm.find("brimvault-serv") != std::string::npos)
            return static_cast<pid_t>(std::stol(pid));
    }
    return -1;
}

double serverCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && rest >> field; ++n)
        if (n >= 14)
            ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Turns a waiting `perf record` on or off through its control FIFO, when one is named.
void perfControl(const char* command) {
    const char* fifo = std::getenv("KH_BENCH_PERF_FIFO");
    if (!fifo)
        return;
    std::ofstream control(fifo);
    control << command << "\n";
}

struct CpuMark {
    pid_t server;
    double own = ownCpu();
    double service = serverCpu(server);
    std::string since() const {
        char text[96];
        std::snprintf(text, sizeof text, "cpu: keelhaven %.2f s, service %.2f s", ownCpu() - own,
                      serverCpu(server) - service);
        return text;
    }
};

}  // namespace

int main() {
    bvtest::ScopedHome home;
    BVLogging::setupWithPrefix("KH");
    bvtest::ReferenceServer::Options options;
    options.seed = nlohmann::json::array(
        {{{"username", "bench"}, {"password", "pw-bench"}, {"max_storage_mib", 1024}}});
    // KH_BENCH_SERVER_ARGS: more options of the service, split at spaces (for profiling,
    // e.g. "--no-content-sync" to see the client's share without the service's disk).
    if (const char* extra = std::getenv("KH_BENCH_SERVER_ARGS")) {
        std::string rest = extra;
        for (size_t at = 0; at < rest.size();) {
            size_t end = rest.find(' ', at);
            if (end == std::string::npos)
                end = rest.size();
            if (end > at)
                options.arguments.push_back(rest.substr(at, end - at));
            at = end + 1;
        }
    }
    bvtest::ReferenceServer server(options);
    khtest::SyncFolderPair pair(server, "bench", "pw-bench", "Bench", SyncBackupTask::kBackup);
    // KH_BENCH_THREADS: the task's worker count (4 by default, as a new task has).
    // The task's log file is written as the program writes it.
    pair.log()->forward =
        std::make_shared<SyncBackupLogger>((home.path() / "bench-task.log").string());
    const char* threads = std::getenv("KH_BENCH_THREADS");
    pair.task()->setThreadCount(threads ? std::atoi(threads) : 4);
    const std::string block(4096, 'k');
    const int64_t t0 = 1'600'000'000;
    for (int folder = 0; folder < 50; ++folder)
        for (int file = 0; file < 100; ++file)
            pair.writeLocal(pathIn(folder, "f", file), block + std::to_string(file), t0);

    const pid_t service = serverPid();
    auto start = Clock::now();
    CpuMark cpu{service};
    perfControl("enable");
    int64_t status = pair.run();
    perfControl("disable");
    std::printf("initial run:        %.2f s (status %lld, %lld items; %s)\n", seconds(start),
                static_cast<long long>(status),
                static_cast<long long>(pair.task()->itemsProcessed()), cpu.since().c_str());
    start = Clock::now();
    cpu = CpuMark{service};
    status = pair.run();
    std::printf("no-change run:      %.2f s (status %lld; %s)\n", seconds(start),
                static_cast<long long>(status), cpu.since().c_str());
    for (int i = 0; i < 50; ++i)
        pair.writeLocal(pathIn(i, "f7"), block + "touched", t0 + 100);
    start = Clock::now();
    cpu = CpuMark{service};
    status = pair.run();
    std::printf("50-touched run:     %.2f s (status %lld, %lld items; %s)\n", seconds(start),
                static_cast<long long>(status),
                static_cast<long long>(pair.task()->itemsProcessed()), cpu.since().c_str());

    bvtest::TempDir copy("khrsync");
    std::string command =
        "rsync -a '" + pair.localRoot().string() + "/' '" + copy.path().string() + "/'";
    start = Clock::now();
    int rc = std::system(command.c_str());
    std::printf("rsync -a initial:   %.2f s (rc %d)\n", seconds(start), rc);
    start = Clock::now();
    rc = std::system(command.c_str());
    std::printf("rsync -a no-change: %.2f s (rc %d)\n", seconds(start), rc);

    // One large file up (backup) and down (restore into an empty folder), against curl
    // sending the same bytes in 20 MiB chunks, closing the upload, and fetching them on the
    // same service.
    const char* bigMiB = std::getenv("KH_BENCH_BIG_MIB");
    const size_t mib = bigMiB ? static_cast<size_t>(std::atoi(bigMiB)) : 256;
    if (mib == 0)
        return 0;
    khtest::SyncFolderPair up(server, "bench", "pw-bench", "Big", SyncBackupTask::kBackup);
    std::string bytes(mib << 20, '\0');
    for (size_t i = 0; i < bytes.size(); i += 4096)
        bytes[i] = static_cast<char>(i >> 12);
    up.writeLocal("big.bin", bytes, t0);
    start = Clock::now();
    cpu = CpuMark{service};
    status = up.run();
    const double upSeconds = seconds(start);
    const std::string upCpu = cpu.since();
    khtest::SyncFolderPair down(server, "bench", "pw-bench", "Big", SyncBackupTask::kBackup,
                                /*localToCloud=*/false);
    start = Clock::now();
    cpu = CpuMark{service};
    int64_t downStatus = down.run();
    const double downSeconds = seconds(start);
    const std::string downCpu = cpu.since();

    std::string folderID, fileID, reason;
    bool isFolder = false;
    up.api()->doGetItemByName("Big", &folderID, up.session(), "0", &isFolder, "0", &reason);
    auto created = up.api()->doCreateFile(folderID, "curl.bin", static_cast<int64_t>(bytes.size()),
                                          up.session(), "0", &reason);
    if (!created) {
        std::fprintf(stderr, "curl file: %s\n", reason.c_str());
        return 1;
    }
    const size_t chunk = 20u << 20;
    std::vector<std::string> chunks;
    for (size_t at = 0, n = 0; at < bytes.size(); at += chunk, ++n) {
        chunks.push_back((copy.path() / ("chunk." + std::to_string(n))).string());
        std::ofstream(chunks.back(), std::ios::binary)
            .write(bytes.data() + at,
                   static_cast<std::streamsize>(std::min(chunk, bytes.size() - at)));
    }
    const std::string curl = "curl -sS --cacert '" + server.caFile().string() + "' ";
    start = Clock::now();
    for (size_t n = 0, offset = 0; n < chunks.size(); ++n, offset += chunk) {
        const size_t length = std::min(chunk, bytes.size() - offset);
        std::string command = curl + "-o /dev/null -F 'file_data=@" + chunks[n] +
                              ";type=application/octet-stream' '" + server.baseUrl() +
                              "upload/upload_file_chunk2.json/" + up.session() + "/" +
                              created->fileID + "?temp_location=" + created->tempLocation +
                              "&chunk_offset=" + std::to_string(offset) +
                              "&chunk_size=" + std::to_string(length) + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "curl upload failed\n");
            return 1;
        }
    }
    // The close as well: it is where the service makes the content durable, which the run
    // above waits for too.
    std::string close = curl + "-o /dev/null --data '' '" + server.baseUrl() +
                        "upload/close_file_upload.json?session_id=" + up.session() +
                        "&file_id=" + created->fileID + "&temp_location=" + created->tempLocation +
                        "&file_size=" + std::to_string(bytes.size()) +
                        "&file_time=" + std::to_string(t0) + "'";
    if (std::system(close.c_str()) != 0) {
        std::fprintf(stderr, "curl close failed\n");
        return 1;
    }
    const double curlUp = seconds(start);
    std::string bigID = up.cloudID("big.bin");
    std::string fetch = curl + "-o '" + (copy.path() / "curl.out").string() + "' '" +
                        server.baseUrl() + "download/file.json/" + bigID +
                        "?session_id=" + up.session() + "'";
    start = Clock::now();
    rc = std::system(fetch.c_str());
    const double curlDown = seconds(start);
    std::error_code sizeError;
    if (std::filesystem::file_size(copy.path() / "curl.out", sizeError) != bytes.size())
        std::fprintf(stderr, "curl download of %s is not the file\n", bigID.c_str());
    std::printf(
        "%zu MiB up:         %.2f s (status %lld; %s); curl %.2f s; ratio %.2f (goal <= 1.3)\n",
        mib, upSeconds, static_cast<long long>(status), upCpu.c_str(), curlUp, upSeconds / curlUp);
    std::printf(
        "%zu MiB down:       %.2f s (status %lld; %s); curl %.2f s (rc %d); ratio %.2f (goal <= "
        "1.3)\n",
        mib, downSeconds, static_cast<long long>(downStatus), downCpu.c_str(), curlDown, rc,
        downSeconds / curlDown);
    return 0;
}
