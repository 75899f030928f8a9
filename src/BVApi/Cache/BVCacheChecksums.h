#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CRC32C checksums of a content file's blocks, kept beside it ("<md5>.crc"): an 8-byte header
// (magic and block size), then one record per block of kBlockSize bytes, each the checksum of
// the block's first `length` bytes. Every block but the last is full; the last one's record
// grows with the content. Records are written after the bytes they cover, so bytes without a
// record (a crash between the two, a cache from before checksums) are unverified, never
// trusted. A block whose bytes do not match its record is damaged.
class BVCacheChecksums {
  public:
    static constexpr uint32_t kBlockSize = 65536;

    struct Record {
        uint32_t crc = 0;
        uint32_t length = 0;
    };

    // CRC32C of the bytes continuing crc (0 to start); SSE4.2 when the processor has it.
    static uint32_t crc32c(uint32_t crc, const uint8_t* bytes, size_t length);

    // Records bytes appended at offset of the content, whose bytes before offset are
    // recorded already (offset 0 starts the file afresh). False (errno set, EILSEQ when the
    // records do not end at offset) when the file cannot be written.
    static bool recordAppend(const std::string& sumsPath, const uint8_t* bytes, size_t length,
                             uint64_t offset);
    // Records of blocks first..first+count-1, fewer when the file holds fewer; none when it is
    // missing or not a checksum file of this block size.
    static std::vector<Record> readRecords(const std::string& sumsPath, uint64_t first,
                                           uint64_t count);

    // Checks the blocks of the content held in bytes, which start at the block-aligned
    // offset `at` and run to the end of those blocks or of the content (contentLength),
    // against their records. Answers an empty text when every byte has a matching record,
    // else what is wrong.
    static std::string verify(const uint8_t* bytes, size_t length, uint64_t at,
                              uint64_t contentLength, const std::vector<Record>& records);
};
