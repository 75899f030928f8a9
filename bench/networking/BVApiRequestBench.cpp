// Streaming download throughput of the asynchronous transport against the curl command
// line tool, both fetching the same body from the same loopback HTTPS server.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BVApi/Networking/BVApiRequest.h"
#include "BVApi/Networking/BVNetworkThread.h"
#include "LoopbackHttpsServer.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

namespace {

constexpr int64_t kBodyBytes = 512LL * 1024 * 1024;

// One server for the whole run; its body comes from a ready-made pattern so the
// server's own cost stays small next to the transfer's.
struct BenchServer {
    BenchServer() {
        pattern.resize(256 * 1024);
        for (size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<char>(i % 251);
        server.server().Get("/api/v1/big.*", [this](const httplib::Request&,
                                                    httplib::Response& res) {
            res.set_content_provider(kBodyBytes, "application/octet-stream",
                                     [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                         size_t start = offset % pattern.size();
                                         size_t n = std::min(length, pattern.size() - start);
                                         return sink.write(pattern.data() + start, n);
                                     });
        });
        if (!server.start())
            std::abort();
        setenv(BVApiRequestConfiguration::kApiBaseURLEnvironment, server.baseURL().c_str(), 1);
        setenv(BVApiRequestConfiguration::kCAFileEnvironment, server.certificateFile().c_str(), 1);
    }
    std::string url() const { return server.baseURL() + "big/?"; }

    bvtest::ScopedHome home;
    bvtest::LoopbackHttpsServer server;
    std::string pattern;
};

BenchServer& benchServer() {
    static BenchServer* server = new BenchServer();
    return *server;
}

void BM_AsyncStreamingDownload(benchmark::State& state) {
    benchServer();
    bv::RunLoop::makeCurrentThreadMain();
    for (auto _ : state) {
        auto request = BVApiRequest::requestWithMethod("GET", "big");
        int64_t received = 0;
        request->partialDataHandler = [&](const bv::Data& piece, int64_t, int64_t) {
            received += static_cast<int64_t>(piece.size());
            benchmark::DoNotOptimize(piece.bytes()[0]);
        };
        std::string failure;
        request->dataHandler = [&](const bv::Data*, const bv::Error& error) {
            if (error)
                failure = error.description();
        };
        request->sendAsync();
        bv::RunLoop::main().runUntil([&] { return !request->isRunning(); }, 600);
        if (received != kBodyBytes) {
            failure = "short body (" + std::to_string(received) + " bytes) " + failure;
            state.SkipWithError(failure.c_str());
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBodyBytes);
    BVNetworkThread::shared().shutdown();
}

void BM_CurlCommandLine(benchmark::State& state) {
    auto& server = benchServer();
    std::string command = "curl -s -o /dev/null --cacert '" + server.server.certificateFile() +
                          "' '" + server.url() + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(state.iterations() * kBodyBytes);
}

BENCHMARK(BM_AsyncStreamingDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_CurlCommandLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
