// Path lookups in one cached 10,000-entry folder (what every getattr does) against lookups in
// a plain hash map, and a cold listing of such a folder from the reference service over HTTPS.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "ReferenceServer.h"
#include "TempDir.h"

namespace {

constexpr int kEntries = 10000;

std::string entryName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "File %05d.txt", i);
    return name;
}

// A cache holding the root listing and a 10,000-entry listing of "/Big".
struct CachedFolder {
    bvtest::TempDir dir;
    std::shared_ptr<BVCacheController> cache;
    std::unique_ptr<BVContentController> content;
    std::vector<std::string> paths;

    CachedFolder() {
        cache = BVCacheController::cacheControllerAt(dir.path() / "cache");
        auto root = std::make_shared<BVFolderListItem>();
        root->identifier = "0";
        root->path = "/";
        auto big = std::make_shared<BVFolderItem>();
        big->identifier = "100";
        big->name = "Big";
        root->folders.push_back(big);
        cache->storeItem(root);

        auto listing = std::make_shared<BVFolderListItem>();
        listing->identifier = "100";
        listing->path = "/Big";
        for (int i = 0; i < kEntries; ++i) {
            auto file = std::make_shared<BVFileItem>();
            file->identifier = std::to_string(1000 + i);
            file->name = entryName(i);
            file->size = i;
            listing->files.push_back(file);
            paths.push_back("/Big/" + entryName(i));
        }
        cache->storeItem(listing);
        content = std::make_unique<BVContentController>(BVContentController::Options{
            .client = nullptr,
            .cache = cache,
            .clock = nullptr,
            .secureFolderGates = {},
        });
    }
};

CachedFolder& cachedFolder() {
    static CachedFolder folder;
    return folder;
}

// Path to identifier, as getattr and open resolve a file.
void BM_ResolvePathsOfCachedFolder(benchmark::State& state) {
    auto& f = cachedFolder();
    for (auto _ : state) {
        for (const auto& path : f.paths)
            benchmark::DoNotOptimize(f.content->identifiableItemAt(path, true, false));
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ResolvePathsOfCachedFolder)->Unit(benchmark::kMillisecond);

// The parts of a resolution: the cached parent listing, and the entry in it by name.
void BM_CachedParentListingFetches(benchmark::State& state) {
    auto& f = cachedFolder();
    for (auto _ : state) {
        for (int i = 0; i < kEntries; ++i)
            benchmark::DoNotOptimize(f.cache->fetchFolderListAt("/Big"));
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_CachedParentListingFetches)->Unit(benchmark::kMillisecond);

void BM_ListingEntriesByName(benchmark::State& state) {
    auto& f = cachedFolder();
    auto listing = f.cache->fetchFolderListAt("/Big");
    std::vector<std::string> names;
    for (int i = 0; i < kEntries; ++i)
        names.push_back(entryName(i));
    for (auto _ : state) {
        for (const auto& name : names)
            benchmark::DoNotOptimize(listing->itemNamed(name));
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ListingEntriesByName)->Unit(benchmark::kMillisecond);

// The whole getattr lookup: secure-folder test, the parent's listing, the entry by name.
void BM_GetattrLookupsOfCachedFolder(benchmark::State& state) {
    auto& f = cachedFolder();
    for (auto _ : state) {
        for (int i = 0; i < kEntries; ++i) {
            const bool secure = f.content->isSecureFolder(f.paths[i]);
            auto listing = f.content->listFolderAt("/Big", nullptr);
            benchmark::DoNotOptimize(secure);
            benchmark::DoNotOptimize(listing->itemNamed(entryName(i)));
        }
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_GetattrLookupsOfCachedFolder)->Unit(benchmark::kMillisecond);

// The floor: the same number of lookups in a hash map from path to entry.
void BM_UnorderedMapLookups(benchmark::State& state) {
    auto& f = cachedFolder();
    std::unordered_map<std::string, std::shared_ptr<BVFileItem>> map;
    for (int i = 0; i < kEntries; ++i)
        map.emplace(f.paths[i], std::make_shared<BVFileItem>());
    for (auto _ : state) {
        for (const auto& path : f.paths)
            benchmark::DoNotOptimize(map.find(path));
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_UnorderedMapLookups)->Unit(benchmark::kMillisecond);

// A signed-in account on a running reference service with a 10,000-file folder "/Big".
struct ServiceFolder {
    std::unique_ptr<bvtest::ReferenceServer> server;
    std::unique_ptr<BVApiClient> client;
    std::shared_ptr<BVUserSessionItem> session;
    bvtest::TempDir dir;

    ServiceFolder() {
        bvtest::ReferenceServer::Options options;
        options.seed = {{{"username", "bench"}, {"password", "pw"}}};
        server = std::make_unique<bvtest::ReferenceServer>(options);
        client = std::make_unique<BVApiClient>();
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server->baseUrl());
        configuration.setCaFile(server->caFile().string());
        client->setConfiguration(configuration);
        session = client->authenticateUserSessionWithUsername("bench", "pw", nullptr);
        if (!session)
            throw std::runtime_error("sign-in failed");
        BVApiClientAuthContext context(session);
        auto big = client->createFolder("Big", "0", &context, nullptr);
        if (!big)
            throw std::runtime_error("folder creation failed");
        std::atomic<int> next{0}, failures{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w) {
            workers.emplace_back([&] {
                BVApiClientAuthContext own(session);
                for (int i = next++; i < kEntries; i = next++) {
                    std::shared_ptr<BVUploadFileHandle> handle;
                    if (!client->createFile(entryName(i), big->identifier, &handle, &own, false,
                                            int64_t(0), nullptr))
                        ++failures;
                }
            });
        }
        for (auto& worker : workers)
            worker.join();
        if (failures)
            throw std::runtime_error("file creation failed");
    }
};

// Listing from the service into an empty cache: the exchange, the parse, forgetting the
// entries' old identifiers and storing the listing.
void BM_ColdListingFromService(benchmark::State& state) {
    static ServiceFolder service;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto cache = BVCacheController::cacheControllerAt(service.dir.path() /
                                                          ("cache" + std::to_string(round++)));
        cache->storeItem(service.session);
        BVContentController content(BVContentController::Options{
            .client = service.client.get(),
            .cache = cache,
            .clock = nullptr,
            .secureFolderGates = {},
        });
        content.listFolderAt("/", nullptr);  // the parent, as the volume has it already
        state.ResumeTiming();
        auto listing = content.listFolderAt("/Big", nullptr);
        if (!listing || listing->files.size() != static_cast<size_t>(kEntries)) {
            state.SkipWithError("listing failed");
            break;
        }
    }
    state.counters["entries_per_second"] =
        benchmark::Counter(double(kEntries) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ColdListingFromService)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
