// Building items from a large folder listing, against parsing the same bytes alone.
// The goal: building (parse included) costs at most twice the parse.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "BVApi/Content/BVFolderListItems.h"

using json = nlohmann::json;

namespace {

constexpr int kFolders = 2000;
constexpr int kFiles = 8000;

// A folder/list.json answer of 10,000 entries; one name in ten is not ASCII.
const std::string& listingBytes() {
    static const std::string bytes = [] {
        json folders = json::array();
        for (int i = 0; i < kFolders; ++i) {
            std::string name = (i % 10 == 0) ? "R\xC3\xA9sum\xC3\xA9s " : "Project folder ";
            folders.push_back({{"FolderID", std::to_string(900000 + i)},
                               {"Name", name + std::to_string(i)},
                               {"Encrypted", i % 50 == 0 ? 1 : 0},
                               {"DateCreated", 1700000000 + i},
                               {"DateModified", 1733790000 + i}});
        }
        json files = json::array();
        for (int i = 0; i < kFiles; ++i) {
            std::string name = (i % 10 == 0) ? "Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
                                               "e "
                                             : "IMG_";
            files.push_back({{"FileId", std::to_string(100000000 + i)},
                             {"Name", name + std::to_string(i) + ".jpg"},
                             {"Size", 1048576 + i},
                             {"RequireCompression", 0},
                             {"DateModified", 1733790000 + i}});
        }
        json answer{{"DirUpdateTime", 1733790000}, {"Name", "Photos"},   {"ParentFolderID", "0"},
                    {"ResponseType", 1},           {"Folders", folders}, {"Files", files}};
        return answer.dump();
    }();
    return bytes;
}

void BM_ParseListing(benchmark::State& state) {
    const std::string& bytes = listingBytes();
    for (auto _ : state) {
        json answer = json::parse(bytes);
        benchmark::DoNotOptimize(answer);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_ParseListing)->Unit(benchmark::kMillisecond);

void BM_BuildListing(benchmark::State& state) {
    const std::string& bytes = listingBytes();
    for (auto _ : state) {
        json answer = json::parse(bytes);
        auto listing = BVContentItem::itemWithDict<BVFolderListItem>(answer);
        if (!listing || listing->files.size() != size_t(kFiles))
            state.SkipWithError("bad listing");
        benchmark::DoNotOptimize(listing);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_BuildListing)->Unit(benchmark::kMillisecond);

void BM_ArchiveRoundTrip(benchmark::State& state) {
    auto listing = BVContentItem::itemWithDict<BVFolderListItem>(json::parse(listingBytes()));
    for (auto _ : state) {
        auto restored = BVContentItem::unarchiveAs<BVFolderListItem>(listing->archivedData());
        benchmark::DoNotOptimize(restored);
    }
}
BENCHMARK(BM_ArchiveRoundTrip)->Unit(benchmark::kMillisecond);

void BM_ItemNamedLastEntry(benchmark::State& state) {
    auto listing = BVContentItem::itemWithDict<BVFolderListItem>(json::parse(listingBytes()));
    const std::string last = "img_" + std::to_string(kFiles - 1) + ".JPG";
    for (auto _ : state) {
        benchmark::DoNotOptimize(listing->itemNamed(last));
    }
}
BENCHMARK(BM_ItemNamedLastEntry)->Unit(benchmark::kMicrosecond);

// Keeps the mean real and CPU time per iteration of each benchmark so main can print the
// ratio; the CPU figure is the steadier one on a busy machine.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration) {
                const double n = double(run.iterations);
                seconds[run.benchmark_name()] = {run.real_accumulated_time / n,
                                                 run.cpu_accumulated_time / n};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::pair<double, double>> seconds;  // real, CPU
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto parse = reporter.seconds.find("BM_ParseListing");
    auto build = reporter.seconds.find("BM_BuildListing");
    if (parse != reporter.seconds.end() && build != reporter.seconds.end()) {
        const auto [parseReal, parseCpu] = parse->second;
        const auto [buildReal, buildCpu] = build->second;
        std::printf(
            "listing of %d entries: parse %.2f ms, parse+build %.2f ms (CPU); "
            "ratio %.2f CPU, %.2f real (goal <= 2.00)\n",
            kFolders + kFiles, parseCpu * 1e3, buildCpu * 1e3, buildCpu / parseCpu,
            buildReal / parseReal);
    }
    benchmark::Shutdown();
    return 0;
}
