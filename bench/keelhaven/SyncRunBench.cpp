// Whole backup runs against the reference service on loopback: 5,000 files of 4 KiB in 50
// folders, local to cloud. Prints the initial run, a run with nothing changed, a run after
// touching 50 files, and `rsync -a` of the same tree to a local folder as the machine's floor.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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
            pair.writeLocal(pathIn(folder, "f", file), block + std::to_string(file), t0);

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
        pair.writeLocal(pathIn(i, "f7"), block + "touched", t0 + 100);
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

    // One large file up (backup) and down (restore into an empty folder), against curl
    // sending the same bytes in 20 MiB chunks and fetching them on the same service.
    const char* bigMiB = std::getenv("KH_BENCH_BIG_MIB");
    const size_t mib = bigMiB ? static_cast<size_t>(std::atoi(bigMiB)) : 256;
    khtest::SyncFolderPair up(server, "bench", "pw-bench", "Big", SyncBackupTask::kBackup);
    std::string bytes(mib << 20, '\0');
    for (size_t i = 0; i < bytes.size(); i += 4096)
        bytes[i] = static_cast<char>(i >> 12);
    up.writeLocal("big.bin", bytes, t0);
    start = Clock::now();
    status = up.run();
    const double upSeconds = seconds(start);
    khtest::SyncFolderPair down(server, "bench", "pw-bench", "Big", SyncBackupTask::kBackup,
                                /*localToCloud=*/false);
    start = Clock::now();
    int64_t downStatus = down.run();
    const double downSeconds = seconds(start);

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
    std::printf("%zu MiB up:         %.2f s (status %lld); curl %.2f s; ratio %.2f (goal <= 1.3)\n",
                mib, upSeconds, static_cast<long long>(status), curlUp, upSeconds / curlUp);
    std::printf(
        "%zu MiB down:       %.2f s (status %lld); curl %.2f s (rc %d); ratio %.2f (goal <= 1.3)\n",
        mib, downSeconds, static_cast<long long>(downStatus), curlDown, rc, downSeconds / curlDown);
    return 0;
}
