#include "platform/SecretStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>

#include <openssl/evp.h>
#include <nlohmann/json.hpp>

#include "platform/UniqueFd.h"
#include "platform/XdgPaths.h"

namespace bv {

namespace {

constexpr const char* kErrorDomain = "SecretStore";
// Far more than any set of passwords; a bigger file is not ours to parse.
constexpr off_t kMaxFileSize = 1 << 20;

std::mutex currentStoreLock;  // guards currentStore
std::shared_ptr<SecretStore> currentStore;

std::mutex diagnosticSinkLock;  // guards diagnosticSink
SecretStore::DiagnosticSink diagnosticSink;

Error storeError(int code, const std::string& reason) {
    return Error(kErrorDomain, code, {{kFailureReasonKey, reason}});
}

std::string errnoText(int saved) {
    return std::strerror(saved);
}

// Ours, and out of reach of others: a file others may read has leaked, one in a folder
// others may write to may have been planted. (Saving makes the folder owner-only again.)
std::optional<std::string> unsafeReason(const struct stat& st, bool directory) {
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        return directory ? "is not a directory" : "is not a regular file";
    if (st.st_uid != geteuid())
        return "is not owned by this user";
    if ((st.st_mode & (directory ? 022 : 077)) != 0)
        return directory ? "is writable by other users" : "is accessible by other users";
    return std::nullopt;
}

enum class FileState { Missing, Read, Damaged, Refused };

struct FileContents {
    FileState state = FileState::Missing;
    nlohmann::json secrets = nlohmann::json::object();
    std::string reason;  // why Damaged or Refused
};

constexpr const char* kBytesKey = "base64";

// JSON holds text only: bytes that are not UTF-8 cannot be one of its strings.
bool isText(const std::string& bytes) {
    try {
        (void)nlohmann::json(bytes).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::optional<std::string> fromBase64(const std::string& text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0)
        return std::nullopt;
    size_t padding = text.size() - std::min(text.size(), text.find_last_not_of('=') + 1);
    if (padding > 2)
        return std::nullopt;
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

// A secret is kept as a JSON string when it is UTF-8 text (as the store always did), else
// as {"base64": "<its bytes>"}.
nlohmann::json encodeSecret(const std::string& secret) {
    if (isText(secret))
        return secret;
    return nlohmann::json{{kBytesKey, base64(secret)}};
}

std::optional<std::string> decodeSecret(const nlohmann::json& value) {
    if (value.is_string())
        return value.get<std::string>();
    if (!value.is_object() || value.size() != 1)
        return std::nullopt;
    auto bytes = value.find(kBytesKey);
    if (bytes == value.end() || !bytes->is_string())
        return std::nullopt;
    return fromBase64(bytes->get_ref<const std::string&>());
}

bool isWellFormed(const nlohmann::json& secrets) {
    if (!secrets.is_object())
        return false;
    for (const auto& [service, accounts] : secrets.items()) {
        if (!accounts.is_object())
            return false;
        for (const auto& [account, secret] : accounts.items()) {
            if (!decodeSecret(secret))
                return false;
        }
    }
    return true;
}

FileContents readFile(int folderFd) {
    FileContents contents;
    bv::UniqueFd fd(openat(folderFd, FileSecretStore::kFileName,
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        int saved = errno;
        if (saved == ENOENT)
            return contents;
        contents.state = FileState::Refused;
        contents.reason = saved == ELOOP ? "is a symbolic link" : errnoText(saved);
        return contents;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        contents.state = FileState::Refused;
        contents.reason = errnoText(errno);
        return contents;
    }
    if (auto unsafe = unsafeReason(st, false)) {
        contents.state = FileState::Refused;
        contents.reason = *unsafe;
        return contents;
    }
    contents.state = FileState::Damaged;
    if (st.st_size > kMaxFileSize) {
        contents.reason = "is too large";
        return contents;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            contents.state = FileState::Refused;
            contents.reason = errnoText(errno);
            return contents;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileSize)) {
            contents.reason = "is too large";
            return contents;
        }
    }
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !isWellFormed(parsed)) {
        contents.reason = "is not a well-formed secret file";
        return contents;
    }
    contents.state = FileState::Read;
    contents.secrets = std::move(parsed);
    return contents;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file by a new one holding secrets; the old file stays whole until the rename.
bool writeFile(int folderFd, const nlohmann::json& secrets, Error* error) {
    std::string text;
    try {
        text = secrets.dump();
    } catch (const nlohmann::json::exception& e) {
        setError(error, storeError(-1, std::string("cannot encode the secrets: ") + e.what()));
        return false;
    }
    static std::atomic<unsigned> sequence{0};
    const std::string temporary = std::string(FileSecretStore::kFileName) + ".tmp-" +
                                  std::to_string(getpid()) + "-" + std::to_string(++sequence);
    bv::UniqueFd fd(openat(folderFd, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        int saved = errno;
        setError(error, storeError(saved, "cannot create the secret file: " + errnoText(saved)));
        return false;
    }
    bool written = fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), text) && fsync(fd.get()) == 0;
    int saved = errno;
    written = fd.close() && written;
    if (written &&
        renameat(folderFd, temporary.c_str(), folderFd, FileSecretStore::kFileName) == 0) {
        fsync(folderFd);
        return true;
    }
    saved = errno ? errno : saved;
    unlinkat(folderFd, temporary.c_str(), 0);
    setError(error, storeError(saved, "cannot write the secret file: " + errnoText(saved)));
    return false;
}

// The folder, opened without following a link at its own name, when it is private and ours.
bv::UniqueFd openFolder(const std::filesystem::path& folder, bool create, std::string* why) {
    if (create && !XdgPaths::createPrivateDirectories(folder)) {
        *why = "cannot be created";
        return bv::UniqueFd();
    }
    bv::UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        *why = errno == ENOENT ? "" : errnoText(errno);
        return fd;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        *why = errnoText(errno);
        return bv::UniqueFd();
    }
    if (auto unsafe = unsafeReason(st, true)) {
        *why = *unsafe;
        return bv::UniqueFd();
    }
    return fd;
}

// Held for the read-modify-write, so other processes of the user do not lose changes.
class FolderLock {
  public:
    FolderLock(int fd, int operation) : fd_(fd) {
        while (flock(fd_, operation) != 0 && errno == EINTR) {
        }
    }
    ~FolderLock() { flock(fd_, LOCK_UN); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd_;
};

}  // namespace

std::shared_ptr<SecretStore> SecretStore::current() {
    std::lock_guard lock(currentStoreLock);
    if (!currentStore)
        currentStore = std::make_shared<FileSecretStore>();
    return currentStore;
}

std::shared_ptr<SecretStore> SecretStore::setCurrent(std::shared_ptr<SecretStore> store) {
    std::lock_guard lock(currentStoreLock);
    auto previous = std::move(currentStore);
    currentStore = std::move(store);
    return previous;
}

SecretStore::DiagnosticSink SecretStore::setDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard lock(diagnosticSinkLock);
    auto previous = std::move(diagnosticSink);
    diagnosticSink = std::move(sink);
    return previous;
}

void SecretStore::diagnose(const std::string& line) {
    DiagnosticSink sink;
    {
        std::lock_guard lock(diagnosticSinkLock);
        sink = diagnosticSink;
    }
    try {
        if (sink)
            sink(line);
        else
            std::cerr << line << std::endl;
    } catch (...) {
    }
}

FileSecretStore::FileSecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path FileSecretStore::folder() const {
    return folder_.empty() ? XdgPaths::dataHome() / "Brimvault" : folder_;
}

std::optional<std::string> FileSecretStore::find(const std::string& service,
                                                 const std::string& account) {
    std::lock_guard lock(fileLock_);
    const auto where = folder();
    std::string why;
    bv::UniqueFd folderFd = openFolder(where, false, &why);
    if (!folderFd.valid()) {
        if (!why.empty())
            diagnose("SecretStore: not reading " + where.string() + ": the folder " + why);
        return std::nullopt;
    }
    FolderLock shared(folderFd.get(), LOCK_SH);
    FileContents contents = readFile(folderFd.get());
    if (contents.state == FileState::Refused || contents.state == FileState::Damaged) {
        diagnose("SecretStore: not reading " + (where / kFileName).string() + ": the file " +
                 contents.reason);
        return std::nullopt;
    }
    auto accounts = contents.secrets.find(service);
    if (accounts == contents.secrets.end())
        return std::nullopt;
    auto secret = accounts->find(account);
    if (secret == accounts->end())
        return std::nullopt;
    return decodeSecret(*secret);
}

namespace {

// Reads the file, lets change edit the secrets (answering whether it changed anything) and
// writes them back, all under the folder lock.
template <class Change>
bool modifyFile(const std::filesystem::path& where, Error* error, Change change) {
    std::string why;
    bv::UniqueFd folderFd = openFolder(where, true, &why);
    if (!folderFd.valid()) {
        std::string reason =
            "the folder " + where.string() + " " + (why.empty() ? "is missing" : why);
        SecretStore::diagnose("SecretStore: not writing: " + reason);
        setError(error, storeError(-1, reason));
        return false;
    }
    FolderLock exclusive(folderFd.get(), LOCK_EX);
    FileContents contents = readFile(folderFd.get());
    const auto file = (where / FileSecretStore::kFileName).string();
    if (contents.state == FileState::Refused) {
        std::string reason = "the file " + file + " " + contents.reason;
        SecretStore::diagnose("SecretStore: not writing: " + reason);
        setError(error, storeError(-1, reason));
        return false;
    }
    if (!change(contents.secrets))
        return true;
    if (contents.state == FileState::Damaged) {
        const std::string aside =
            std::string(FileSecretStore::kFileName) + FileSecretStore::kDamagedSuffix;
        bool moved = renameat(folderFd.get(), FileSecretStore::kFileName, folderFd.get(),
                              aside.c_str()) == 0;
        SecretStore::diagnose("SecretStore: the file " + file + " " + contents.reason +
                              (moved ? "; moved aside to " + aside + " and started afresh"
                                     : "; could not move it aside, replacing it"));
    }
    return writeFile(folderFd.get(), contents.secrets, error);
}

}  // namespace

bool FileSecretStore::save(const std::string& service, const std::string& account,
                           const std::string& secret, Error* error) {
    if (!isText(service) || !isText(account)) {
        setError(error, storeError(EINVAL, "the service and account names must be UTF-8 text"));
        return false;
    }
    std::lock_guard lock(fileLock_);
    return modifyFile(folder(), error, [&](nlohmann::json& secrets) {
        nlohmann::json& slot = secrets[service][account];
        if (decodeSecret(slot) == secret)
            return false;
        slot = encodeSecret(secret);
        return true;
    });
}

bool FileSecretStore::remove(const std::string& service, const std::string& account, Error* error) {
    std::lock_guard lock(fileLock_);
    return modifyFile(folder(), error, [&](nlohmann::json& secrets) {
        auto accounts = secrets.find(service);
        if (accounts == secrets.end() || accounts->erase(account) == 0)
            return false;
        if (accounts->empty())
            secrets.erase(accounts);
        return true;
    });
}

}  // namespace bv
