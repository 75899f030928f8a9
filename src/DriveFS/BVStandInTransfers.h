#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "DriveFS/BVDriveFSTransfers.h"

class BVApiClient;
class BVContentController;
class BVManageController;
class BVTmpController;

// STAND-IN until the download controller and the read-ahead reader land: downloads the whole
// file through the service client at the first read and answers ranges from memory. The
// real reader streams into the content cache and replaces this one through the reader factory
// of BVDriveFS.
class BVWholeFileDownloadReader : public BVFileReader {
  public:
    BVWholeFileDownloadReader(std::string path, BVApiClient* client, BVContentController* content);
    std::optional<bv::Data> read(uint64_t offset, uint64_t size, bv::Error* error) override;

  private:
    const std::string path_;
    BVApiClient* client_;
    BVContentController* content_;
    std::mutex contentLock_;  // guards content_ (fetched once, by the first reader)
    std::optional<bv::Data> bytes_;
};

// STAND-IN until the upload controllers land: stages the file in the temporary store at its
// own volume path and uploads all of it through the manage controller's open, chunk and close
// at each flush after a change. The real writers (streaming empty files, the durable upload
// journal) replace this one through the writer factory of BVDriveFS.
class BVStagedUploadWriter : public BVFileWriter {
  public:
    struct Collaborators {
        BVApiClient* client = nullptr;
        BVContentController* content = nullptr;
        BVManageController* manage = nullptr;
        std::shared_ptr<BVTmpController> tmp;
    };
    static constexpr uint64_t kChunkSize = 8 << 20;

    BVStagedUploadWriter(std::string path, BVWriteStart start, Collaborators collaborators);

    bool opened() const override { return opened_; }
    bool open(bv::Error* error) override;
    std::optional<bv::Data> read(uint64_t offset, uint64_t size, bv::Error* error) override;
    bool write(uint64_t offset, const bv::Data& bytes, bv::Error* error) override;
    bool truncate(uint64_t size, bv::Error* error) override;
    std::optional<uint64_t> size() const override;
    bool flush(bv::Error* error) override;
    bool close(bv::Error* error) override;

  private:
    bool fetchExisting(bv::Error* error);

    const std::string path_;
    const BVWriteStart start_;
    const Collaborators with_;
    bool opened_ = false;
    bool dirty_ = false;
};
