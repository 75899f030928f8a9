// brimvault-crypt: recovery tool for secure-folder files. Decrypts and encrypts whole files
// in the 1024-byte block format with the folder's password, and tells whether a password
// opens a folder's verifier data text. Memory stays bounded whatever the file size.
//
// Exit status: 0 success, 1 failure (unreadable input, damaged file, bad usage),
// 2 wrong password. A failed run leaves no output file behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "WebCallExec/BVDataEncryption.h"
#include "WebCallExec/BVStreamDecryptor.h"
#include "crypto/cryptography.h"
#include "crypto/encrypted_folder.h"
#include "platform/UniqueFd.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitWrongPassword = 2;
// 64 blocks per read: large enough for throughput, small enough to bound memory.
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kMaxPasswordFile = 64 * 1024;

// A failure with its exit status; the message goes to stderr.
struct Failure {
    int status;
    std::string message;
};

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Reads until len bytes or the end of the file; answers the count.
std::size_t readFull(int fd, std::uint8_t* buf, std::size_t len, const std::string& path) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::read(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure{kExitFailure, systemError("cannot read", path)};
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void writeFull(int fd, const std::uint8_t* buf, std::size_t len, const std::string& path) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure{kExitFailure, systemError("cannot write", path)};
        done += static_cast<std::size_t>(n);
    }
}

bv::UniqueFd openInput(const std::string& path) {
    bv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw Failure{kExitFailure, systemError("cannot open", path)};
    return fd;
}

// The output is written to an owner-only temporary file beside its destination and renamed
// over it only when everything succeeded; otherwise the temporary file is removed.
class AtomicOutput {
  public:
    explicit AtomicOutput(std::string path) : path_(std::move(path)) {
        std::string dir = std::filesystem::path(path_).parent_path().string();
        tempPath_ = (dir.empty() ? std::string(".") : dir) + "/." +
                    std::filesystem::path(path_).filename().string() + ".XXXXXX";
        std::vector<char> name(tempPath_.begin(), tempPath_.end());
        name.push_back('\0');
        int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0)
            throw Failure{kExitFailure, systemError("cannot create a file beside", path_)};
        tempPath_ = name.data();
        fd_ = bv::UniqueFd(fd);
    }
    ~AtomicOutput() {
        if (!committed_) {
            fd_.reset();
            ::unlink(tempPath_.c_str());
        }
    }
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void write(const std::uint8_t* bytes, std::size_t len) {
        writeFull(fd_.get(), bytes, len, tempPath_);
    }
    void commit() {
        if (::fsync(fd_.get()) != 0 || !fd_.close())
            throw Failure{kExitFailure, systemError("cannot write", tempPath_)};
        if (::rename(tempPath_.c_str(), path_.c_str()) != 0)
            throw Failure{kExitFailure, systemError("cannot rename the output to", path_)};
        committed_ = true;
    }

  private:
    std::string path_;
    std::string tempPath_;
    bv::UniqueFd fd_;
    bool committed_ = false;
};

// The password is the file's content without one trailing line break.
std::string readPassword(const std::string& path) {
    bv::UniqueFd fd = openInput(path);
    std::string text(kMaxPasswordFile + 1, '\0');
    std::size_t n =
        readFull(fd.get(), reinterpret_cast<std::uint8_t*>(text.data()), text.size(), path);
    if (n > kMaxPasswordFile)
        throw Failure{kExitFailure, "password file too large: " + path};
    text.resize(n);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty())
        throw Failure{kExitFailure, "the password file holds no password: " + path};
    return text;
}

bv::Data folderKey(const std::string& password) {
    bv::Data key;
    key.resize(bv_crypt::cryptography::kKeySize);
    bv_crypt::cryptography::create_key(password, key.mutableBytes(), key.length());
    return key;
}

void encryptFile(const bv::Data& key, const std::string& in, const std::string& out) {
    bv::UniqueFd input = openInput(in);
    AtomicOutput output(out);
    bv::Data chunk;
    chunk.resize(kChunk);
    for (;;) {
        std::size_t n = readFull(input.get(), chunk.mutableBytes(), kChunk, in);
        if (n == 0)
            break;
        bv::Data plain = n == kChunk ? chunk : chunk.subdata(0, n);
        bv::Error error;
        auto records = encryptWithKey(plain, key, &error);
        if (!records)
            throw Failure{kExitFailure, "cannot encrypt: " + error.failureReason()};
        output.write(records->bytes(), records->length());
        if (n < kChunk)
            break;
    }
    output.commit();
}

void decryptFile(const bv::Data& key, const std::string& in, const std::string& out) {
    bv::UniqueFd input = openInput(in);
    AtomicOutput output(out);
    BVStreamDecryptor decryptor(key);
    bv::Data chunk;
    chunk.resize(kChunk);
    bv::Data plain;
    std::uint64_t offset = 0;
    for (;;) {
        std::size_t n = readFull(input.get(), chunk.mutableBytes(), kChunk, in);
        if (n == 0)
            break;
        plain.clear();
        bv::Error error;
        if (!decryptor.decrypt(chunk.bytes(), n, &plain, &error)) {
            std::string reason = error.failureReason();
            // Nothing tells a wrong password from a damaged first record; a later failure
            // means the password opened the file and the damage is real.
            if (decryptor.recordCount() == 0 && reason.rfind("Password Error", 0) == 0)
                throw Failure{kExitWrongPassword, "wrong password (" + reason + ")"};
            throw Failure{kExitFailure, "damaged record after record " +
                                            std::to_string(decryptor.recordCount()) + ": " +
                                            reason};
        }
        output.write(plain.bytes(), plain.length());
        offset += n;
    }
    bv::Error error;
    if (!decryptor.finish(&error))
        throw Failure{kExitFailure, "the file ends inside a record (" + std::to_string(offset) +
                                        " bytes): it is cut short"};
    output.commit();
}

std::string readDataText(const std::string& path) {
    bv::UniqueFd fd = openInput(path);
    std::string text(kMaxPasswordFile + 1, '\0');
    std::size_t n =
        readFull(fd.get(), reinterpret_cast<std::uint8_t*>(text.data()), text.size(), path);
    if (n > kMaxPasswordFile)
        throw Failure{kExitFailure, "data text too large: " + path};
    text.resize(n);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

void verify(const std::string& password, const std::string& data) {
    bool hex = data.size() >= 2 && data.size() % 2 == 0 &&
               data.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!hex)
        throw Failure{kExitFailure, "not a verifier data text"};
    std::string hash;
    bv::Data key;
    if (encryptDirectory(password, data, &hash, &key) != 1)
        throw Failure{kExitWrongPassword, "wrong password: it does not open this verifier"};
    std::printf("the password opens the verifier\n");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Decrypts and encrypts secure-folder files, checks secure-folder passwords."};
    app.require_subcommand(1);
    std::string passwordFile, in, out, data, dataFile;

    auto addFileCommand = [&](const char* name, const char* help) {
        auto* cmd = app.add_subcommand(name, help);
        cmd->add_option("--password-file", passwordFile, "file holding the folder's password")
            ->required();
        cmd->add_option("IN", in, "input file")->required();
        cmd->add_option("OUT", out, "output file (replaced only on success)")->required();
        return cmd;
    };
    auto* decryptCmd = addFileCommand("decrypt", "decrypt a file of records");
    auto* encryptCmd = addFileCommand("encrypt", "encrypt a file into records");
    auto* verifyCmd =
        app.add_subcommand("verify", "tell whether a password opens a verifier data text");
    verifyCmd->add_option("--password-file", passwordFile, "file holding the folder's password")
        ->required();
    auto* dataGroup = verifyCmd->add_option_group("data text", "one of them is required");
    dataGroup->add_option("--data", data, "the verifier data text");
    auto* dataFileOpt =
        dataGroup->add_option("--data-file", dataFile, "file holding the data text");
    dataGroup->require_option(1);

    CLI11_PARSE(app, argc, argv);

    try {
        std::string password = readPassword(passwordFile);
        if (*decryptCmd) {
            decryptFile(folderKey(password), in, out);
        } else if (*encryptCmd) {
            encryptFile(folderKey(password), in, out);
        } else if (*verifyCmd) {
            verify(password, dataFileOpt->count() ? readDataText(dataFile) : data);
        }
        return 0;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "brimvault-crypt: %s\n", failure.message.c_str());
        return failure.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brimvault-crypt: %s\n", e.what());
        return kExitFailure;
    }
}
