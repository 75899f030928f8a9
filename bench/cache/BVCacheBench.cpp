// Cache fetches and stores: hot listings (memory cache), cold listings (decoded from disk)
// against bare CBOR decoding of the same file, stores into indexes of growing size, the
// path lookup among many cached listings, a download-like append of a file's content, its
// warm re-read in the read-ahead's 512 KiB pieces, and the checksum check of those pieces
// alone (its share of the re-read is the cost of the checksums).
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "BVApi/Cache/BVCacheChecksums.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVTransferItems.h"

namespace fs = std::filesystem;

namespace {

class ScratchCache {
  public:
    ScratchCache() {
        std::string tmpl = (fs::temp_directory_path() / "bench-cache-XXXXXX").string();
        dir_ = ::mkdtemp(tmpl.data());
        cache_ = BVCacheController::cacheControllerAt(dir_ / "Cache",
                                                      {std::make_shared<bv::ManualClock>(), "run"});
    }
    ~ScratchCache() {
        cache_.reset();
        BVCacheController::resetSharedController();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    BVCacheController& operator*() { return *cache_; }
    BVCacheController* operator->() { return cache_.get(); }

  private:
    fs::path dir_;
    std::shared_ptr<BVCacheController> cache_;
};

std::shared_ptr<BVFolderListItem> makeListing(const std::string& id, const std::string& path,
                                              int files) {
    auto listing = std::make_shared<BVFolderListItem>();
    listing->identifier = id;
    listing->path = path;
    listing->name = fs::path(path).filename().string();
    for (int i = 0; i < files; ++i) {
        auto f = std::make_shared<BVFileItem>();
        f->identifier = id + "-" + std::to_string(i);
        f->name = "file number " + std::to_string(i) + ".txt";
        f->size = 1000 + i;
        f->dateModified = 1'700'000'000 + i;
        listing->files.push_back(std::move(f));
    }
    return listing;
}

void BM_FetchHotListing(benchmark::State& state) {
    ScratchCache cache;
    cache->storeItem(makeListing("hot", "/Hot", 20));
    for (auto _ : state)
        benchmark::DoNotOptimize(cache->fetchFolderList("hot"));
}
BENCHMARK(BM_FetchHotListing);

void BM_FetchColdListing(benchmark::State& state) {
    ScratchCache cache;
    cache->storeItem(makeListing("cold", "/Cold", int(state.range(0))));
    cache->flush();  // on disk, not waiting in the writer
    for (auto _ : state) {
        state.PauseTiming();
        cache->backend().clearMemcache();
        state.ResumeTiming();
        benchmark::DoNotOptimize(cache->fetchFolderList("cold"));
    }
}
BENCHMARK(BM_FetchColdListing)->Arg(10'000)->Unit(benchmark::kMicrosecond);

// The floor for the cold fetch: reading the same file and decoding its CBOR, nothing else.
void BM_DecodeListingBytesOnly(benchmark::State& state) {
    ScratchCache cache;
    cache->storeItem(makeListing("cold", "/Cold", int(state.range(0))));
    cache->flush();
    std::string path = cache->backend().pathForItemWithKey("cold", BVFolderListItem::itemClass());
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes(fs::file_size(path));
        in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
        benchmark::DoNotOptimize(nlohmann::json::from_cbor(bytes));
    }
}
BENCHMARK(BM_DecodeListingBytesOnly)->Arg(10'000)->Unit(benchmark::kMicrosecond);

// One store of a small listing into an index that already holds n listings.
void BM_StoreListing(benchmark::State& state) {
    ScratchCache cache;
    BVCacheIndex& index = cache->indexOf(BVFolderListItem::itemClass());
    for (int64_t i = 0; i < state.range(0); ++i) {
        std::string id = std::to_string(i);
        index.index(*makeListing(id, "/folder/" + id, 5), 1, "run");
    }
    auto listing = makeListing("stored", "/Stored", 5);
    for (auto _ : state)
        cache->storeItem(listing);
    // Stores leave the files to the writer thread; the file size is read once it has run.
    cache->flush();
    state.counters["index_bytes"] =
        double(fs::file_size(cache->backend().pathForIndexOfClass(BVFolderListItem::itemClass())));
}
BENCHMARK(BM_StoreListing)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

// The encoding part of a store: the whole index of n listings as one archive.
void BM_ArchiveIndex(benchmark::State& state) {
    BVCacheIndex index;
    for (int64_t i = 0; i < state.range(0); ++i) {
        std::string id = std::to_string(i);
        index.index(*makeListing(id, "/folder/" + id, 5), 1, "run");
    }
    auto listing = makeListing("stored", "/Stored", 5);
    for (auto _ : state) {
        index.index(*listing, 2, "run");
        benchmark::DoNotOptimize(index.archivedData());
    }
}
BENCHMARK(BM_ArchiveIndex)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void BM_FetchFolderListAt(benchmark::State& state) {
    ScratchCache cache;
    BVCacheIndex& index = cache->indexOf(BVFolderListItem::itemClass());
    for (int64_t i = 0; i < state.range(0); ++i) {
        std::string id = std::to_string(i);
        index.index(*makeListing(id, "/Folder/" + id, 5), 1, "run");
    }
    cache->storeItem(makeListing("target", "/Folder/Target", 5));
    for (auto _ : state)
        benchmark::DoNotOptimize(cache->fetchFolderListAt("/folder/TARGET"));
}
BENCHMARK(BM_FetchFolderListAt)->Arg(10'000);

// A download as the download stream writes it: 256 MiB in pieces of 512 KiB through
// storeBinaryData, then the end of the stream and a flush; throughput and fsyncs per file.
void BM_AppendDownload(benchmark::State& state) {
    constexpr int64_t kTotal = 256 << 20;
    constexpr size_t kPiece = 512 << 10;
    const bv::Data piece = bv::Data::fromString(std::string(kPiece, 'x'));
    ScratchCache cache;
    auto file = std::make_shared<BVFileInfoItem>();
    file->name = "big.bin";
    file->dateModified = cache->now();
    uint64_t fsyncs = 0;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string id = "big" + std::to_string(round++);
        file->identifier = id;
        cache->storeItem(file);
        auto d = std::make_shared<BVBinaryDataDescriptorItem>();
        d->identifier = id;
        d->path = "/big.bin";
        cache->storeItem(d);
        cache->flush();
        const uint64_t before = cache->backend().fsyncCount();
        state.ResumeTiming();
        for (int64_t offset = 0; offset < kTotal; offset += int64_t(kPiece))
            cache->storeBinaryData(piece, offset, -1, id);
        cache->openContentStream(id)->finish();
        cache->flush();
        state.PauseTiming();
        fsyncs += cache->backend().fsyncCount() - before;
        cache->purgeCacheForFile(id, "");
        cache->flush();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kTotal);
    state.counters["fsyncs_per_file"] = double(fsyncs) / double(state.iterations());
}
BENCHMARK(BM_AppendDownload)->Unit(benchmark::kMillisecond)->Iterations(3);

constexpr int64_t kWarmTotal = 64 << 20;
constexpr size_t kWarmPiece = 512 << 10;

void BM_WarmContentRead(benchmark::State& state) {
    ScratchCache cache;
    auto file = std::make_shared<BVFileInfoItem>();
    file->name = "warm.bin";
    file->identifier = "warm";
    file->dateModified = cache->now();
    cache->storeItem(file);
    auto d = std::make_shared<BVBinaryDataDescriptorItem>();
    d->identifier = "warm";
    d->path = "/warm.bin";
    cache->storeItem(d);
    const bv::Data piece = bv::Data::fromString(std::string(kWarmPiece, 'w'));
    for (int64_t offset = 0; offset < kWarmTotal; offset += int64_t(kWarmPiece))
        cache->storeBinaryData(piece, offset, kWarmTotal, "warm");
    cache->flush();
    for (auto _ : state) {
        for (int64_t offset = 0; offset < kWarmTotal; offset += int64_t(kWarmPiece))
            benchmark::DoNotOptimize(
                cache->fetchBinaryDataOf("warm", uint64_t(offset), kWarmPiece));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kWarmTotal);
}
BENCHMARK(BM_WarmContentRead)->Unit(benchmark::kMillisecond);

void BM_VerifyPieces(benchmark::State& state) {
    const std::string bytes(kWarmPiece, 'w');
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    std::vector<BVCacheChecksums::Record> records;
    for (size_t at = 0; at < kWarmPiece; at += BVCacheChecksums::kBlockSize)
        records.push_back({BVCacheChecksums::crc32c(0, p + at, BVCacheChecksums::kBlockSize),
                           BVCacheChecksums::kBlockSize});
    for (auto _ : state) {
        for (int64_t offset = 0; offset < kWarmTotal; offset += int64_t(kWarmPiece))
            benchmark::DoNotOptimize(
                BVCacheChecksums::verify(p, kWarmPiece, 0, kWarmPiece, records));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kWarmTotal);
}
BENCHMARK(BM_VerifyPieces)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
