// (c) A 256 MiB file written through the streaming writer in 128 KiB writes, against curl
// sending the same bytes in 20 MiB chunks to the same reference service (goal: >= 0.7 of
// curl's throughput). (d) 1,000 files created, written with 4 KiB and closed through the
// controllers (goal: under 2 seconds in all).
// Usage: bench_uploads [MiB, default 256] [files, default 1000] [nojournal] [nosync]
// "nojournal" measures the files without the journal; "nosync" starts the service with
// "--no-content-sync", so that the files' figure shows the client's own costs without the
// service's two fsyncs per close. The writers run on a worker thread, as under the volume;
// (d) also times the same three requests per file without the controllers (its floor).
// The service's data and the cache live below TMPDIR (default /tmp): where that is an ext4
// file system without a journal, every file creation scans the inodes deleted in the last
// minutes, so a run on a busy machine measures the disk as much as the client.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVJITThrottleUploadController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BenchProcessGuard.h"
#include "ReferenceServer.h"
#include "TempDir.h"
#include "platform/RunLoop.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs work on a thread of its own, as a volume worker calls the controllers, while this
// thread runs the main loop; answers what work answered.
template <class Work>
auto onWorker(Work work) {
    auto worker = std::async(std::launch::async, std::move(work));
    bv::RunLoop::main().runUntil(
        [&] { return worker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        3600);
    return worker.get();
}

bv::Data pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + i / 4093) % 251);
    return bv::Data(std::move(bytes));
}

}  // namespace

int main(int argc, char** argv) {
    BenchProcessGuard::enter();
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int files = argc > 2 ? std::atoi(argv[2]) : 1000;
    auto flag = [&](const std::string& name) {
        for (int i = 3; i < argc; ++i)
            if (argv[i] == name)
                return true;
        return false;
    };
    bvtest::ReferenceServer::Options serverOptions;
    if (flag("nosync"))
        serverOptions.arguments.push_back("--no-content-sync");
    serverOptions.seed = {
        {{"username", "bench"}, {"password", "pw"}, {"max_storage_mib", 1000000}}};
    bvtest::ReferenceServer server(serverOptions);
    bvtest::TempDir dir;
    BVApiClient client;
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(server.baseUrl());
    configuration.setCaFile(server.caFile().string());
    configuration.numberOfRetries = 0;
    client.setConfiguration(configuration);
    bv::Error error;
    auto session = client.authenticateUserSessionWithUsername("bench", "pw", &error);
    if (!session) {
        std::fprintf(stderr, "sign-in failed: %s\n", error.description().c_str());
        return 1;
    }
    auto cache = BVCacheController::cacheControllerAt(dir.path() / "cache");
    cache->storeItem(session);
    auto tmp = std::make_shared<BVTmpController>((dir.path() / "tmp" / "temp").string(),
                                                 dir.path().string());
    BVContentController::Options contentOptions;
    contentOptions.client = &client;
    contentOptions.cache = cache;
    BVContentController content(contentOptions);
    BVManageController::Options manageOptions;
    manageOptions.client = &client;
    manageOptions.content = &content;
    manageOptions.cache = cache;
    manageOptions.tmp = tmp;
    manageOptions.requestConfiguration = configuration;
    BVManageController manage(manageOptions);
    BVUploadController::Options options;
    options.manage = &manage;
    options.client = &client;
    options.content = &content;
    options.cache = cache;
    options.tmp = tmp;
    options.freeDiskSpace = [] { return uint64_t{1} << 40; };
    options.journal = std::make_shared<BVUploadJournal>(cache->rootPath());
    content.listFolderAt("/", nullptr);

    // (c) the streamed write.
    const bv::Data bytes = pattern(mib * 1024 * 1024);
    const size_t piece = 128 * 1024;
    auto started = std::chrono::steady_clock::now();
    if (!onWorker([&] {
            BVJITThrottleUploadController writer("/big.bin", nullptr, options);
            if (!writer.createFileError(&error)) {
                std::fprintf(stderr, "create failed: %s\n", error.description().c_str());
                return false;
            }
            for (size_t at = 0; at < bytes.size(); at += piece) {
                if (!writer.writeFile(bytes.bytes() + at, std::min(piece, bytes.size() - at),
                                      static_cast<int64_t>(at), &error)) {
                    std::fprintf(stderr, "write failed: %s\n", error.description().c_str());
                    return false;
                }
            }
            if (!writer.closeFileError(&error)) {
                std::fprintf(stderr, "close failed: %s\n", error.description().c_str());
                return false;
            }
            return true;
        }))
        return 1;
    const double ours = seconds(started);

    // curl: the same bytes in 20 MiB chunks into a new upload of another file.
    BVApiClientAuthContext context(session);
    std::shared_ptr<BVUploadFileHandle> handle;
    auto file = client.createFile("curl.bin", "0", &handle, &context, false, 0, &error);
    if (!file || !handle) {
        std::fprintf(stderr, "curl file: %s\n", error.description().c_str());
        return 1;
    }
    const size_t chunk = BVUploadController::kChunkSize;
    std::vector<std::string> chunks;
    for (size_t at = 0, n = 0; at < bytes.size(); at += chunk, ++n) {
        const std::string path = (dir.path() / ("chunk." + std::to_string(n))).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.bytes() + at),
                   static_cast<std::streamsize>(std::min(chunk, bytes.size() - at)));
        chunks.push_back(path);
    }
    started = std::chrono::steady_clock::now();
    size_t offset = 0;
    for (size_t n = 0; n < chunks.size(); ++n) {
        const size_t length = std::min(chunk, bytes.size() - offset);
        const std::string command =
            "curl -sS -o /dev/null --cacert '" + server.caFile().string() + "' -F 'file_data=@" +
            chunks[n] + ";type=application/octet-stream' '" + server.baseUrl() +
            "upload/upload_file_chunk2.json/" + session->sessionId + "/" + file->identifier +
            "?temp_location=" + handle->tempLocation + "&chunk_offset=" + std::to_string(offset) +
            "&chunk_size=" + std::to_string(length) + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "curl failed\n");
            return 1;
        }
        offset += length;
    }
    const double theirs = seconds(started);
    const double mb = static_cast<double>(bytes.size()) / 1e6;
    std::printf(
        "(c) streamed write of %zu MiB: %.1f MB/s (%.2f s); curl 20 MiB chunks: %.1f MB/s "
        "(%.2f s); ratio %.2f (goal >= 0.7)\n",
        mib, mb / ours, ours, mb / theirs, theirs, theirs / ours);

    // (d) many small files. First the floor: the same three requests per file straight
    // through the service client (no controllers, no cache) into a folder of their own, so
    // that the service holds no more files for the controllers' run than for this one.
    const bv::Data small = pattern(4096);
    manage.createFolderAt("/", "Raw", &error);
    auto rawFolder = content.minimalItemInfoAt("/Raw", nullptr);
    if (!rawFolder)
        return 1;
    started = std::chrono::steady_clock::now();
    if (!onWorker([&] {
            for (int i = 0; i < files; ++i) {
                std::shared_ptr<BVUploadFileHandle> raw;
                auto made =
                    client.createFile(std::string("r").append(std::to_string(i)).append(".txt"),
                                      rawFolder->identifier, &raw, &context, false, 0, &error);
                if (!made || !raw ||
                    !client.uploadChunk(small, 0, made->identifier, raw->tempLocation, &context,
                                        &error) ||
                    !client.closeFileUpload(made->identifier, 4096, raw->tempLocation, false,
                                            std::nullopt, &context, &error)) {
                    std::fprintf(stderr, "raw file %d failed: %s\n", i,
                                 error.description().c_str());
                    return false;
                }
            }
            return true;
        }))
        return 1;
    const double floor = seconds(started);

    manage.createFolderAt("/", "Many", &error);
    content.listFolderAt("/Many", nullptr);
    if (flag("nojournal"))
        options.journal = nullptr;
    // Where the time goes, step by step.
    double inCreate = 0, inWrite = 0, inClose = 0;
    started = std::chrono::steady_clock::now();
    if (!onWorker([&] {
            for (int i = 0; i < files; ++i) {
                BVJITThrottleUploadController writer("/Many/f" + std::to_string(i) + ".txt",
                                                     nullptr, options);
                auto step = std::chrono::steady_clock::now();
                bool ok = writer.createFileError(&error);
                inCreate += seconds(step);
                step = std::chrono::steady_clock::now();
                ok = ok && writer.writeFile(small.bytes(), small.size(), 0, &error);
                inWrite += seconds(step);
                step = std::chrono::steady_clock::now();
                ok = ok && writer.closeFileError(&error);
                inClose += seconds(step);
                if (!ok) {
                    std::fprintf(stderr, "file %d failed: %s\n", i, error.description().c_str());
                    return false;
                }
            }
            return true;
        }))
        return 1;
    const double many = seconds(started);
    std::printf(
        "(d) create + write 4 KiB + close of %d files: %.2f s (goal < 2 s); create %.2f s, "
        "write %.2f s, close %.2f s\n"
        "    the same requests straight through the service client: %.2f s; floor/ours %.2f\n",
        files, many, inCreate, inWrite, inClose, floor, floor / many);
    // The cache writes its last changes while the item classes still exist.
    cache->shutdown();
    BVCacheController::resetSharedController();
    return 0;
}
