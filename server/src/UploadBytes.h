#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace bvserver {

// The bytes received for one open upload. They stay in memory while the upload is small and
// move to a file in the upload folder once it grows past kMemoryLimit; a small upload thus
// never creates a file, and its content is committed as a database row. Open uploads are
// not kept across a restart either way. One writer at a time (the owner serializes).
class UploadBytes {
  public:
    // Creating one file per small content was most of the service's work for them: on a busy
    // file system the inode allocator alone took several times the rest of a request. Rows of
    // this size read and write as fast as files. Memory held by open uploads is bounded by
    // this times the open uploads a user may keep.
    static constexpr int64_t kMemoryLimit = 256 * 1024;

    // `file` is where the bytes go once they outgrow memory; it is not made before then.
    explicit UploadBytes(std::filesystem::path file) : file_(std::move(file)) {}
    ~UploadBytes();
    UploadBytes(const UploadBytes&) = delete;
    UploadBytes& operator=(const UploadBytes&) = delete;

    // Writes at `offset`, which must not lie past the bytes written so far. Answers false
    // when the file cannot be made or written (errno tells why).
    bool write(int64_t offset, const char* data, size_t size);
    // Asks the disk to start writing [offset, offset + size) back (a hint for large chunks).
    void startWriteBack(int64_t offset, int64_t size);
    // Ends a run of writes: closes the file, which a later write opens again, so that idle
    // uploads hold no descriptor.
    void endWrites();
    // Cuts the bytes to `size` (a failed chunk may have left some past the accepted end).
    void truncate(int64_t size);
    // Lets the bytes go: frees the memory or removes the file.
    void discard();

    bool inFile() const { return inFile_; }
    const std::filesystem::path& file() const { return file_; }
    // The bytes, while they are held in memory.
    const std::string& memory() const { return memory_; }

  private:
    bool openFile(bool create);
    bool moveToFile();

    std::filesystem::path file_;
    std::string memory_;
    bool inFile_ = false;
    int fd_ = -1;
};

}  // namespace bvserver
