#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CRC32C checksums of a content file's blocks: an 8-byte header (magic and block size), then
// one record per block of kBlockSize bytes, each the checksum of the block's first `length`
// bytes. Every block but the last is full; the last one's record grows with the content.
// Records are written after the bytes they cover, so bytes without a record (a crash between
// the two, a cache from before checksums) are unverified, never trusted. A block whose bytes
// do not match its record is damaged.
//
// Content shorter than one block keeps its header and record in an extended attribute of the
// content file itself (kAttribute), where the file system has them: a small file then costs
// one file on disk instead of two. Longer content, and content on a file system without
// extended attributes, keeps them in a file beside it ("<md5>.crc"). Growth past the first
// block writes the file whole before it removes the attribute, and readers take the attribute
// while it is there, so a reader always finds one complete set of records. A damaged
// attribute is damaged checksums, never a reason to look at the file instead.
class BVCacheChecksums {
  public:
    static constexpr uint32_t kBlockSize = 65536;

    struct Record {
        uint32_t crc = 0;
        uint32_t length = 0;
    };

    // CRC32C of the bytes continuing crc (0 to start); SSE4.2 when the processor has it.
    static uint32_t crc32c(uint32_t crc, const uint8_t* bytes, size_t length);

    // The extended attribute of a content file that holds its records.
    static constexpr const char* kAttribute = "user.brimvault.crc";

    // Records bytes appended at offset of the content open at contentFd, whose bytes before
    // offset are recorded already (offset 0 starts the records afresh); sumsPath is the
    // checksum file beside it. False (errno set, EILSEQ when the records do not end at offset)
    // when the records cannot be written.
    static bool recordAppend(int contentFd, const std::string& sumsPath, const uint8_t* bytes,
                             size_t length, uint64_t offset);
    // Records of blocks first..first+count-1, fewer when there are fewer; none when there are
    // none or they are not checksums of this block size.
    static std::vector<Record> readRecords(int contentFd, const std::string& sumsPath,
                                           uint64_t first, uint64_t count);
    // Forgets every record of the content (it was emptied).
    static void drop(int contentFd, const std::string& sumsPath);

    // Checks the blocks of the content held in bytes, which start at the block-aligned
    // offset `at` and run to the end of those blocks or of the content (contentLength),
    // against their records. Answers an empty text when every byte has a matching record,
    // else what is wrong.
    static std::string verify(const uint8_t* bytes, size_t length, uint64_t at,
                              uint64_t contentLength, const std::vector<Record>& records);
};
