// Throughput of encryptWithKey and of streaming decryption over 256 MiB, each next to a
// reference: OpenSSL's AES-256-CBC and SHA-256 over the same 1 KiB blocks with contexts set
// up once, i.e. the cost of the cipher and the hash alone. The goal is at least 0.8 of the
// reference's throughput.

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "WebCallExec/BVDataEncryption.h"
#include "WebCallExec/BVStreamDecryptor.h"
#include "crypto/cryptography.h"

namespace {

constexpr std::size_t kTotal = 256u << 20;
constexpr std::size_t kBlock = 1024;
constexpr std::size_t kRecord = 1082;
constexpr std::size_t kPiece = 64 * 1024;  // a typical download arrival

const bv::Data& plaintext() {
    static const bv::Data data = [] {
        bv::Data d;
        d.resize(kTotal);
        for (std::size_t i = 0; i < kTotal; ++i)
            d.mutableBytes()[i] = static_cast<std::uint8_t>(i * 131 + (i >> 11));
        return d;
    }();
    return data;
}

const bv::Data& folderKey() {
    static const bv::Data key = [] {
        bv::Data k;
        k.resize(32);
        bv_crypt::cryptography::create_key("benchmark password", k.mutableBytes(), 32);
        return k;
    }();
    return key;
}

const bv::Data& records() {
    static const bv::Data data = *encryptWithKey(plaintext(), folderKey());
    return data;
}

struct CipherCtx {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx{EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cipher{
        EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr), &EVP_CIPHER_free};
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha{EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                        &EVP_MD_free};
    std::uint8_t iv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

    CipherCtx(bool encrypt) {
        if (EVP_CipherInit_ex(ctx.get(), cipher.get(), nullptr, folderKey().bytes(), iv, encrypt) !=
            1)
            throw std::runtime_error("cipher init");
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    }
    void digest(const std::uint8_t* p, std::size_t n, std::uint8_t* out) {
        EVP_DigestInit_ex(md.get(), sha.get(), nullptr);
        EVP_DigestUpdate(md.get(), p, n);
        EVP_DigestFinal_ex(md.get(), out, nullptr);
    }
    void crypt(const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
        int written = 0;
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv, -1);
        EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(n));
    }
};

void BM_EncryptWithKey(benchmark::State& state) {
    const bv::Data& plain = plaintext();
    for (auto _ : state) {
        auto out = encryptWithKey(plain, folderKey());
        if (!out)
            state.SkipWithError("encryption failed");
        benchmark::DoNotOptimize(out->bytes());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_ReferenceEncrypt(benchmark::State& state) {
    const bv::Data& plain = plaintext();
    CipherCtx c(true);
    for (auto _ : state) {
        bv::Data out;
        out.resize(kTotal / kBlock * kRecord);
        std::uint8_t tail[48];
        for (std::size_t i = 0, o = 10; i < kTotal; i += kBlock, o += kRecord) {
            c.digest(plain.bytes() + i, kBlock, tail);
            std::memset(tail + 32, 16, 16);
            c.crypt(plain.bytes() + i, kBlock, out.mutableBytes() + o);  // IV reset per block
            int written = 0;
            EVP_CipherUpdate(c.ctx.get(), out.mutableBytes() + o + kBlock, &written, tail, 48);
        }
        benchmark::DoNotOptimize(out.bytes());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_StreamDecrypt(benchmark::State& state) {
    const bv::Data& in = records();
    bv::Data plain;
    plain.reserve(2 * kPiece);
    for (auto _ : state) {
        BVStreamDecryptor decryptor(folderKey());
        for (std::size_t at = 0; at < in.length(); at += kPiece) {
            plain.clear();
            if (!decryptor.decrypt(in.bytes() + at, std::min(kPiece, in.length() - at), &plain,
                                   nullptr))
                state.SkipWithError("decryption failed");
            benchmark::DoNotOptimize(plain.bytes());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_DecryptWithKeyBuffer(benchmark::State& state) {
    const bv::Data& in = records();
    for (auto _ : state) {
        bv::Data buffer;
        for (std::size_t at = 0; at < in.length(); at += kPiece) {
            buffer.append(in.bytes() + at, std::min(kPiece, in.length() - at));
            auto plain = decryptWithKey(buffer, folderKey());
            benchmark::DoNotOptimize(plain);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_ReferenceDecrypt(benchmark::State& state) {
    const bv::Data& in = records();
    CipherCtx c(false);
    bv::Data plain;
    plain.resize(kPiece);
    for (auto _ : state) {
        std::size_t o = 0;
        for (std::size_t at = 0; at < in.length(); at += kRecord) {
            if (o + kRecord > plain.length())
                o = 0;
            c.crypt(in.bytes() + at + 10, kRecord - 10, plain.mutableBytes() + o);
            std::uint8_t digest[32];
            c.digest(plain.mutableBytes() + o, kBlock, digest);
            benchmark::DoNotOptimize(CRYPTO_memcmp(digest, plain.bytes() + o + kBlock, 32));
            o += kBlock;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

}  // namespace

BENCHMARK(BM_EncryptWithKey)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ReferenceEncrypt)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_StreamDecrypt)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_DecryptWithKeyBuffer)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ReferenceDecrypt)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_MAIN();
