#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/Logging/BVLogging.h"

namespace {

// A private data folder, so the benchmark never writes into the user's logs.
class BenchHome {
  public:
    BenchHome() {
        char pattern[] = "/tmp/bvbench-XXXXXX";
        path_ = mkdtemp(pattern);
        setenv("XDG_DATA_HOME", path_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
        setenv("XDG_STATE_HOME", path_.c_str(), 1);
    }
    ~BenchHome() { std::filesystem::remove_all(path_); }

  private:
    std::filesystem::path path_;
};

// 100,000 records written by 4 threads at once, each into the same per-process file.
void BM_LogFromFourThreads(benchmark::State& state) {
    constexpr int kThreads = 4;
    constexpr int kRecords = 100000;
    BenchHome home;
    for (auto _ : state) {
        BVLogging::setupWithPrefix("BV");
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kRecords / kThreads; ++i)
                    BVLog("Upload chunk %@ of item %@ finished, %@ bytes", i, t, 1048576);
            });
        for (auto& thread : threads)
            thread.join();
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.counters["records/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kRecords, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LogFromFourThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
