// The cost of many small synchronous requests: 1,000 listings of an empty folder through
// the service client against the reference service, and the same 1,000 requests made by
// the curl tool over one reused connection.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "ReferenceServer.h"
#include "TempDir.h"

namespace {

constexpr int kRequests = 1000;

// A signed-in account on a running reference service with an empty folder "/Empty".
struct EmptyFolderService {
    EmptyFolderService() {
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
        context = std::make_unique<BVApiClientAuthContext>(session);
        auto folder = client->createFolder("Empty", "0", context.get(), nullptr);
        if (!folder)
            throw std::runtime_error("folder creation failed");
        folderId = folder->identifier;
    }

    // The wire form of one listing, as the client sends it.
    std::string listingUrl() const {
        return server->baseUrl() + "folder/list.json/" + session->sessionId + "/" + folderId +
               "?encryption_supported=1&last_request_time=0";
    }

    bvtest::ScopedHome home;
    std::unique_ptr<bvtest::ReferenceServer> server;
    std::unique_ptr<BVApiClient> client;
    std::shared_ptr<BVUserSessionItem> session;
    std::unique_ptr<BVApiClientAuthContext> context;
    std::string folderId;
};

EmptyFolderService& service() {
    static auto* instance = new EmptyFolderService();
    return *instance;
}

void BM_SyncSmallRequests(benchmark::State& state) {
    auto& s = service();
    for (auto _ : state) {
        for (int i = 0; i < kRequests; ++i) {
            auto listing = s.client->listFolder(s.folderId, std::nullopt, s.context.get(), nullptr);
            if (!listing) {
                state.SkipWithError("listing failed");
                return;
            }
            benchmark::DoNotOptimize(listing.get());
        }
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
}

// One curl process, one connection, the 1,000 URLs one after the other.
void BM_CurlSmallRequestsOneConnection(benchmark::State& state) {
    auto& s = service();
    bvtest::TempDir folder;
    auto config = folder / "requests.curlrc";
    {
        std::ofstream out(config);
        out << "silent\nparallel-max = 1\ncacert = \"" << s.server->caFile().string() << "\"\n";
        for (int i = 0; i < kRequests; ++i)
            out << "url = \"" << s.listingUrl() << "\"\n";
    }
    std::string command = "curl -K '" + config.string() + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
}

BENCHMARK(BM_SyncSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CurlSmallRequestsOneConnection)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
