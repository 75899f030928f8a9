// Reading a 256 MiB file through the read-ahead of an open file in 128 KiB requests: cold
// (downloaded from the reference service while read) against curl fetching the same download,
// and warm (all from the cache) through a new read-ahead.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVDownloadController.h"
#include "BVApi/Controllers/BVReadaheadController.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "BenchProcessGuard.h"
#include "ReferenceServer.h"
#include "TempDir.h"
#include "platform/RunLoop.h"

namespace {

constexpr size_t kFileSize = 256u << 20;
constexpr uint64_t kRequest = 128u << 10;
constexpr const char* kPath = "/big.bin";

struct Service {
    bvtest::ScopedHome home;
    std::unique_ptr<bvtest::ReferenceServer> server;
    BVApiRequestConfiguration configuration;
    std::unique_ptr<BVApiClient> client;
    std::shared_ptr<BVUserSessionItem> session;
    std::shared_ptr<BVApiClientAuthContext> context;
    std::string fileId;
    std::string downloadUrl;

    Service() {
        bvtest::ReferenceServer::Options options;
        options.seed = {{{"username", "bench"}, {"password", "pw"}, {"max_storage_mib", 4096}}};
        server = std::make_unique<bvtest::ReferenceServer>(options);
        configuration.setRequestHost(server->baseUrl());
        configuration.setCaFile(server->caFile().string());
        configuration.numberOfRetries = 0;
        client = std::make_unique<BVApiClient>();
        client->setConfiguration(configuration);
        session = client->authenticateUserSessionWithUsername("bench", "pw", nullptr);
        context = std::make_shared<BVApiClientAuthContext>(session);
        upload();
        // The very request a download sends, for curl.
        auto request = BVApiRequest::requestWithMethod("GET", "download/file.json",
                                                       BVApiRequest::Arguments{fileId},
                                                       nlohmann::json{{"offset", 0}});
        request->configuration() = configuration;
        context->preFill(*request, client.get(), nullptr);
        downloadUrl = request->urlRequest(nullptr)->url;
        BVDownloadController::Options defaults;
        defaults.requestConfiguration = configuration;
        BVDownloadController::installAsDownloader(defaults);
    }

    void upload() {
        std::vector<uint8_t> bytes(kFileSize);
        uint32_t x = 1;
        for (auto& byte : bytes) {
            x = x * 1664525u + 1013904223u;
            byte = static_cast<uint8_t>(x >> 24);
        }
        const bv::Data data(std::move(bytes));
        std::shared_ptr<BVUploadFileHandle> handle;
        auto file = client->createFile("big.bin", "0", &handle, context.get(), false,
                                       int64_t(kFileSize), nullptr);
        fileId = file->identifier;
        constexpr size_t kChunk = 20u << 20;
        for (size_t at = 0; at < kFileSize; at += kChunk)
            client->uploadChunk(data.subdata(at, kChunk), at, fileId, handle->tempLocation,
                                context.get(), nullptr);
        client->closeFileUpload(fileId, int64_t(kFileSize), handle->tempLocation, false,
                                std::nullopt, context.get(), nullptr);
    }
};

// Made at first use, stopped by main (with the service process) before the statics go.
std::unique_ptr<Service>& theService() {
    static std::unique_ptr<Service> s;
    return s;
}

Service& service() {
    if (!theService())
        theService() = std::make_unique<Service>();
    return *theService();
}

// A signed-in cache and content controller; empty of content unless something was read.
struct Account {
    bvtest::TempDir dir;
    std::shared_ptr<BVCacheController> cache;
    std::unique_ptr<BVContentController> content;

    Account() {
        auto& s = service();
        cache = BVCacheController::cacheControllerAt(dir.path() / "cache");
        cache->storeItem(s.session);
        content = std::make_unique<BVContentController>(BVContentController::Options{
            .client = s.client.get(), .cache = cache, .clock = nullptr, .secureFolderGates = {}});
        content->minimalItemInfoAt(kPath, nullptr);
    }
};

// Reads the whole file in 128 KiB requests on a reader thread, as a volume worker does, while
// this thread runs the main loop that delivers the download. Answers the bytes read.
uint64_t readWhole(BVContentController& content) {
    auto reader = std::async(std::launch::async, [&] {
        BVReadaheadController readahead(kPath, &content);
        uint64_t read = 0;
        for (;;) {
            auto data = readahead.request({read, kRequest});
            if (!data || data->empty())
                return read;
            read += data->size();
        }
    });
    bv::RunLoop::main().runUntil(
        [&] { return reader.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 600);
    return reader.get();
}

void BM_ColdReadahead(benchmark::State& state) {
    service();
    for (auto _ : state) {
        state.PauseTiming();
        auto account = std::make_unique<Account>();
        state.ResumeTiming();
        if (readWhole(*account->content) != kFileSize)
            state.SkipWithError("short read");
        state.PauseTiming();
        account.reset();
        BVCacheController::resetSharedController();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kFileSize));
}
BENCHMARK(BM_ColdReadahead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_CurlDownload(benchmark::State& state) {
    auto& s = service();
    const std::string command = "curl -s -o /dev/null --cacert '" + s.server->caFile().string() +
                                "' '" + s.downloadUrl + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kFileSize));
}
BENCHMARK(BM_CurlDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_WarmReadahead(benchmark::State& state) {
    Account account;
    if (readWhole(*account.content) != kFileSize) {
        state.SkipWithError("download failed");
        return;
    }
    for (auto _ : state) {
        if (readWhole(*account.content) != kFileSize)
            state.SkipWithError("short read");
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kFileSize));
}
BENCHMARK(BM_WarmReadahead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    BenchProcessGuard::enter();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    BVCacheController::resetSharedController();
    theService().reset();
    return 0;
}
