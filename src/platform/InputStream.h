#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/Data.h"
#include "platform/Error.h"

namespace bv {

// A source of body bytes that is read once, front to back. Not thread-safe: one reader
// at a time.
class InputStream {
  public:
    virtual ~InputStream() = default;
    // Copies up to `max` bytes into buffer; answers the count, 0 at the end, -1 on error.
    virtual int64_t read(uint8_t* buffer, size_t max) = 0;
    // The total number of bytes when known in advance, else -1.
    virtual int64_t length() const { return -1; }
    // Starts again at the first byte so the same body can be sent twice; false when
    // the source cannot go back.
    virtual bool rewind() { return false; }
};

class MemoryInputStream : public InputStream {
  public:
    explicit MemoryInputStream(Data data) : data_(std::move(data)) {}

    int64_t read(uint8_t* buffer, size_t max) override {
        size_t n = std::min(max, data_.size() - offset_);
        if (n > 0)
            std::memcpy(buffer, data_.bytes() + offset_, n);
        offset_ += n;
        return static_cast<int64_t>(n);
    }
    int64_t length() const override { return static_cast<int64_t>(data_.size()); }
    bool rewind() override {
        offset_ = 0;
        return true;
    }

  private:
    Data data_;
    size_t offset_ = 0;
};

class FileInputStream : public InputStream {
  public:
    // Answers nothing and sets *error when the file cannot be opened for reading.
    static std::unique_ptr<FileInputStream> open(const std::filesystem::path& path, Error* error) {
        FilePtr file(std::fopen(path.c_str(), "rb"));
        if (!file) {
            int saved = errno;
            setError(error, Error("NSPOSIXErrorDomain", saved,
                                  {{kFailureReasonKey, std::string(std::strerror(saved))}}));
            return nullptr;
        }
        std::error_code ec;
        auto size = std::filesystem::file_size(path, ec);
        return std::unique_ptr<FileInputStream>(
            new FileInputStream(std::move(file), ec ? -1 : static_cast<int64_t>(size)));
    }

    int64_t read(uint8_t* buffer, size_t max) override {
        size_t n = std::fread(buffer, 1, max, file_.get());
        if (n == 0 && std::ferror(file_.get()))
            return -1;
        return static_cast<int64_t>(n);
    }
    int64_t length() const override { return length_; }
    bool rewind() override { return std::fseek(file_.get(), 0, SEEK_SET) == 0; }

  private:
    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    using FilePtr = std::unique_ptr<FILE, FileCloser>;

    FileInputStream(FilePtr file, int64_t length) : file_(std::move(file)), length_(length) {}

    FilePtr file_;
    int64_t length_;
};

}  // namespace bv
