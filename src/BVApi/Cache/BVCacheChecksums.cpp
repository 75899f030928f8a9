#include "BVApi/Cache/BVCacheChecksums.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

#include "app/Logging/BVLogging.h"
#include "platform/UniqueFd.h"

namespace {

constexpr char kMagic[4] = {'B', 'V', 'C', 'S'};
constexpr size_t kHeaderSize = 8;
constexpr size_t kRecordSize = 8;

constexpr std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kTable = makeTable();

uint32_t crcSoftware(uint32_t crc, const uint8_t* p, size_t n) {
    uint32_t c = ~crc;
    while (n--)
        c = kTable[(c ^ *p++) & 0xff] ^ (c >> 8);
    return ~c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crcHardware(uint32_t crc, const uint8_t* p, size_t n) {
    uint64_t c = ~crc;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
    }
    uint32_t c32 = uint32_t(c);
    while (n--)
        c32 = _mm_crc32_u8(c32, *p++);
    return ~c32;
}

// Three blocks at once: the instruction's latency is three times its throughput, so three
// independent chains keep it busy. n is a multiple of 8.
__attribute__((target("sse4.2"))) void crcHardware3(const uint8_t* a, const uint8_t* b,
                                                    const uint8_t* c, size_t n, uint32_t out[3]) {
    uint64_t x = 0xffffffffu, y = 0xffffffffu, z = 0xffffffffu;
    for (size_t i = 0; i < n; i += 8) {
        uint64_t va, vb, vc;
        std::memcpy(&va, a + i, 8);
        std::memcpy(&vb, b + i, 8);
        std::memcpy(&vc, c + i, 8);
        x = _mm_crc32_u64(x, va);
        y = _mm_crc32_u64(y, vb);
        z = _mm_crc32_u64(z, vc);
    }
    out[0] = ~uint32_t(x);
    out[1] = ~uint32_t(y);
    out[2] = ~uint32_t(z);
}

const bool kHardware = __builtin_cpu_supports("sse4.2");
#else
constexpr bool kHardware = false;
#endif

bool readExactly(int fd, void* into, size_t length, off_t at) {
    auto* p = static_cast<uint8_t*>(into);
    while (length > 0) {
        ssize_t n = ::pread(fd, p, length, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
        at += n;
    }
    return true;
}

bool writeExactly(int fd, const void* from, size_t length, off_t at) {
    auto* p = static_cast<const uint8_t*>(from);
    while (length > 0) {
        ssize_t n = ::pwrite(fd, p, length, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        p += n;
        length -= size_t(n);
        at += n;
    }
    return true;
}

std::array<uint8_t, kHeaderSize> header() {
    std::array<uint8_t, kHeaderSize> h{};
    std::memcpy(h.data(), kMagic, 4);
    const uint32_t block = BVCacheChecksums::kBlockSize;
    std::memcpy(h.data() + 4, &block, 4);
    return h;
}

bool headerIsOurs(int fd) {
    std::array<uint8_t, kHeaderSize> h{};
    return readExactly(fd, h.data(), h.size(), 0) && h == header();
}

off_t recordAt(uint64_t block) {
    return off_t(kHeaderSize + block * kRecordSize);
}

// The records in the content file's attribute: there (one record of a block not yet full),
// absent (none set, or the file system keeps none), or damaged.
struct Attribute {
    enum State { Absent, Present, Damaged } state = Absent;
    BVCacheChecksums::Record record;
};

constexpr size_t kAttributeSize = kHeaderSize + kRecordSize;

Attribute readAttribute(int contentFd) {
    Attribute attribute;
    uint8_t value[kAttributeSize + 1];
    const ssize_t n = ::fgetxattr(contentFd, BVCacheChecksums::kAttribute, value, sizeof value);
    if (n < 0) {
        if (errno != ENODATA && errno != ENOTSUP)
            attribute.state = Attribute::Damaged;
        return attribute;
    }
    const auto h = header();
    if (size_t(n) != kAttributeSize || std::memcmp(value, h.data(), h.size()) != 0) {
        attribute.state = Attribute::Damaged;
        return attribute;
    }
    std::memcpy(&attribute.record, value + kHeaderSize, kRecordSize);
    attribute.state = attribute.record.length < BVCacheChecksums::kBlockSize ? Attribute::Present
                                                                             : Attribute::Damaged;
    return attribute;
}

bool writeAttribute(int contentFd, const BVCacheChecksums::Record& record) {
    uint8_t value[kAttributeSize];
    const auto h = header();
    std::memcpy(value, h.data(), h.size());
    std::memcpy(value + kHeaderSize, &record, kRecordSize);
    return ::fsetxattr(contentFd, BVCacheChecksums::kAttribute, value, sizeof value, 0) == 0;
}

// Removes the attribute; true when it is gone (or never was).
bool removeAttribute(int contentFd) {
    return ::fremovexattr(contentFd, BVCacheChecksums::kAttribute) == 0 || errno == ENODATA ||
           errno == ENOTSUP;
}

}  // namespace

uint32_t BVCacheChecksums::crc32c(uint32_t crc, const uint8_t* bytes, size_t length) {
#if defined(__x86_64__)
    if (kHardware)
        return crcHardware(crc, bytes, length);
#endif
    return crcSoftware(crc, bytes, length);
}

bool BVCacheChecksums::recordAppend(int contentFd, const std::string& sumsPath,
                                    const uint8_t* bytes, size_t length, uint64_t offset) {
    Record tail;
    // Whether the records so far live in the attribute.
    bool inAttribute = false;
    if (offset > 0) {
        const Attribute attribute = readAttribute(contentFd);
        if (attribute.state == Attribute::Damaged ||
            (attribute.state == Attribute::Present && attribute.record.length != offset)) {
            errno = EILSEQ;
            return false;
        }
        inAttribute = attribute.state == Attribute::Present;
        if (inAttribute)
            tail = attribute.record;
    }
    if ((offset == 0 || inAttribute) && offset + length < kBlockSize) {
        Record grown{crc32c(tail.crc, bytes, length), tail.length + uint32_t(length)};
        if (writeAttribute(contentFd, grown))
            return true;
        // The file beside takes the records of a new content; those of a content under way
        // cannot move without the attribute they continue.
        if (inAttribute)
            return false;
    }
    // A fresh start in the file: an attribute left from earlier content would shadow it.
    if (offset == 0 && !removeAttribute(contentFd))
        return false;
    bv::UniqueFd fd(::open(sumsPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return false;
    uint64_t block = offset / kBlockSize;
    if (offset == 0 || inAttribute) {
        // Growing out of the attribute, the file is written whole from the first record.
        const auto h = header();
        if (::ftruncate(fd.get(), 0) != 0 || !writeExactly(fd.get(), h.data(), h.size(), 0))
            return false;
    } else if (!headerIsOurs(fd.get())) {
        errno = EILSEQ;
        return false;
    } else if (offset % kBlockSize != 0) {
        if (!readExactly(fd.get(), &tail, sizeof tail, recordAt(block)) ||
            tail.length != offset % kBlockSize) {
            errno = EILSEQ;
            return false;
        }
    } else {
        // The block before must be whole and recorded, or the records have a gap.
        Record before;
        if (!readExactly(fd.get(), &before, sizeof before, recordAt(block - 1)) ||
            before.length != kBlockSize) {
            errno = EILSEQ;
            return false;
        }
    }
    std::vector<Record> records;
    records.reserve(length / kBlockSize + 2);
    while (length > 0) {
#if defined(__x86_64__)
        // Whole blocks three at a time, as verify() checks them: a download appends a
        // megabyte at a time, and one chain of the instruction leaves two thirds of it idle.
        if (kHardware && tail.length == 0 && length >= 3 * size_t(kBlockSize)) {
            uint32_t crcs[3];
            crcHardware3(bytes, bytes + kBlockSize, bytes + 2 * kBlockSize, kBlockSize, crcs);
            for (uint32_t crc : crcs)
                records.push_back(Record{crc, kBlockSize});
            bytes += 3 * size_t(kBlockSize);
            length -= 3 * size_t(kBlockSize);
            continue;
        }
#endif
        const size_t room = kBlockSize - tail.length;
        const size_t take = std::min(room, length);
        tail.crc = crc32c(tail.crc, bytes, take);
        tail.length += uint32_t(take);
        bytes += take;
        length -= take;
        records.push_back(tail);
        if (tail.length == kBlockSize)
            tail = Record{};
    }
    if (!records.empty() &&
        !writeExactly(fd.get(), records.data(), records.size() * sizeof(Record), recordAt(block)))
        return false;
    // Only now, with the file complete: a reader between the two still finds the attribute.
    return !inAttribute || removeAttribute(contentFd);
}

std::vector<BVCacheChecksums::Record> BVCacheChecksums::readRecords(int contentFd,
                                                                    const std::string& sumsPath,
                                                                    uint64_t first,
                                                                    uint64_t count) {
    std::vector<Record> records;
    const Attribute attribute = readAttribute(contentFd);
    if (attribute.state == Attribute::Present && first == 0 && count > 0)
        records.push_back(attribute.record);
    if (attribute.state != Attribute::Absent)
        return records;
    bv::UniqueFd fd(::open(sumsPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd || !headerIsOurs(fd.get()))
        return records;
    records.resize(size_t(count));
    size_t got = 0;
    const size_t want = records.size() * sizeof(Record);
    auto* into = reinterpret_cast<uint8_t*>(records.data());
    while (got < want) {
        ssize_t n = ::pread(fd.get(), into + got, want - got, recordAt(first) + off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    records.resize(got / sizeof(Record));
    return records;
}

void BVCacheChecksums::drop(int contentFd, const std::string& sumsPath) {
    ::unlink(sumsPath.c_str());
    removeAttribute(contentFd);
}

std::string BVCacheChecksums::verify(const uint8_t* bytes, size_t length, uint64_t at,
                                     uint64_t contentLength, const std::vector<Record>& records) {
    const uint64_t firstBlock = at / kBlockSize;
    const size_t blocks = (length + kBlockSize - 1) / kBlockSize;
    auto problemAt = [&](size_t i, const std::string& what) {
        return bv::format("block %llu (bytes from %llu of %llu) %@", firstBlock + i,
                          at + uint64_t(i) * kBlockSize, contentLength, what);
    };
    size_t i = 0;
    while (i < blocks) {
        const size_t inBlock = std::min<size_t>(kBlockSize, length - i * kBlockSize);
        if (i >= records.size())
            return problemAt(i, "has no checksum");
        if (records[i].length != inBlock) {
            return problemAt(i, bv::format("holds %llu bytes, its checksum covers %llu",
                                           uint64_t(inBlock), uint64_t(records[i].length)));
        }
        const uint8_t* block = bytes + i * kBlockSize;
#if defined(__x86_64__)
        if (kHardware && i + 3 <= blocks && i + 3 <= records.size() &&
            length - i * kBlockSize >= 3 * size_t(kBlockSize) &&
            records[i + 1].length == kBlockSize && records[i + 2].length == kBlockSize) {
            uint32_t crcs[3];
            crcHardware3(block, block + kBlockSize, block + 2 * kBlockSize, kBlockSize, crcs);
            for (size_t k = 0; k < 3; ++k) {
                if (crcs[k] != records[i + k].crc)
                    return problemAt(i + k, "does not match its checksum");
            }
            i += 3;
            continue;
        }
#endif
        if (crc32c(0, block, inBlock) != records[i].crc)
            return problemAt(i, "does not match its checksum");
        ++i;
    }
    return {};
}
