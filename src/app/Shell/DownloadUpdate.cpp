#include "app/Shell/DownloadUpdate.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "BVApi/Networking/BVCurlTransfer.h"
#include "app/Logging/BVLogging.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestFree>;

Digest newSha256() {
    Digest digest(EVP_MD_CTX_new());
    if (digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        digest.reset();
    return digest;
}

std::string hexOf(EVP_MD_CTX* digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!digest || EVP_DigestFinal_ex(digest, bytes, &length) != 1)
        return "";
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

bool ownedAndClosed(const struct stat& info) {
    return info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Receives the answer into the part file and digests it on the way.
class Receiver : public BVCurlTransfer::Delegate {
  public:
    Receiver(int fd, const std::function<void(int)>& progress)
        : fd_(fd), progress_(progress), digest_(newSha256()) {}

    size_t transferDidReceiveData(const char* bytes, size_t length) override {
        // The body of an answer that is no 200 is no package; it is not kept.
        if (status_ != 200)
            return length;
        for (size_t done = 0; done < length;) {
            const ssize_t n = ::write(fd_, bytes + done, length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                writeError_ = errno ? errno : EIO;
                return 0;  // ends the exchange
            }
            done += static_cast<size_t>(n);
        }
        if (digest_)
            EVP_DigestUpdate(digest_.get(), bytes, length);
        received_ += length;
        if (expected_ > 0 && progress_) {
            const int percent =
                static_cast<int>(received_ * 100 / static_cast<uint64_t>(expected_));
            if (percent != lastPercent_ && percent < 100) {
                lastPercent_ = percent;
                progress_(percent);
            }
        }
        return length;
    }
    void transferDidReceiveResponse(const BVHttpResponse& response) override {
        status_ = response.statusCode;
        expected_ = response.statusCode == 200 ? response.expectedContentLength : -1;
    }

    long status() const { return status_; }
    int64_t expected() const { return expected_; }
    uint64_t received() const { return received_; }
    int writeError() const { return writeError_; }
    std::string sha256() { return hexOf(digest_.get()); }

  private:
    const int fd_;
    const std::function<void(int)>& progress_;
    Digest digest_;
    long status_ = 0;
    int64_t expected_ = -1;
    uint64_t received_ = 0;
    int lastPercent_ = -1;
    int writeError_ = 0;
};

}  // namespace

DownloadUpdate::Offer DownloadUpdate::Offer::fromNotification(const nlohmann::json& entry) {
    Offer offer;
    if (!entry.is_object())
        return offer;
    if (auto url = entry.find("URL"); url != entry.end() && url->is_string())
        offer.url = url->get<std::string>();
    if (auto size = entry.find("Size");
        size != entry.end() && size->is_number_integer() && size->get<int64_t>() > 0)
        offer.size = static_cast<uint64_t>(size->get<int64_t>());
    if (auto sha = entry.find("SHA256"); sha != entry.end() && sha->is_string()) {
        std::string hex = sha->get<std::string>();
        for (auto& c : hex)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos)
            offer.sha256 = hex;
    }
    return offer;
}

DownloadUpdate::DownloadUpdate(std::string target, std::string caFile)
    : target_(std::move(target)), caFile_(std::move(caFile)) {}

bool DownloadUpdate::prepareFolder(std::string* why) const {
    const fs::path folder = fs::path(target_).parent_path();
    struct stat info {};
    if (target_.empty() || folder.empty() || ::lstat(folder.c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode)) {
        *why = "the download folder " + folder.string() + " is missing";
        return false;
    }
    if (!ownedAndClosed(info) || (info.st_mode & 077) != 0) {
        *why = "the download folder " + folder.string() + " is not private to this user";
        return false;
    }
    return true;
}

bool DownloadUpdate::isPrivateFile(const std::string& path, std::string* why) {
    struct stat info {};
    const fs::path folder = fs::path(path).parent_path();
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *why = path + " is missing or no plain file";
        return false;
    }
    if (!ownedAndClosed(info) || (info.st_mode & 077) != 0) {
        *why = path + " may be changed or read by others";
        return false;
    }
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || !ownedAndClosed(info)) {
        *why = "others may change the folder " + folder.string();
        return false;
    }
    return true;
}

std::string DownloadUpdate::sha256Of(const std::string& path) {
    bv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    auto digest = newSha256();
    if (!fd || !digest)
        return "";
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return "";
        if (n == 0)
            break;
        EVP_DigestUpdate(digest.get(), buffer, static_cast<size_t>(n));
    }
    return hexOf(digest.get());
}

DownloadUpdate::Result DownloadUpdate::downloadUpdate(const Offer& offer,
                                                      const std::function<void(int)>& progress) {
    Result result;
    auto failed = [&](const std::string& why) {
        result.error = why;
        BVLog("Update download failed: %@", why);
        return result;
    };
    // The TLS check is what says the package comes from whom the offer names.
    if (offer.url.rfind("https://", 0) != 0)
        return failed("the update's link is not an https address: " + offer.url);
    std::string why;
    if (!prepareFolder(&why))
        return failed(why);
    const std::string part = target_ + ".part";
    std::error_code ignored;
    fs::remove(target_, ignored);
    fs::remove(part, ignored);
    bv::UniqueFd fd(
        ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return failed("the file " + part + " cannot be made: " + std::strerror(errno));

    BVUrlRequest request;
    request.url = offer.url;
    request.method = "GET";
    request.headers = {{"Cache-Control", "no-cache"}};
    request.timeout = kTimeout;
    request.caFile = caFile_;
    Receiver receiver(fd.get(), progress);
    bv::Error error;
    auto transfer = BVCurlTransfer::make(request, receiver, &error);
    if (!transfer)
        return failed(error.description());
    // Download sites move their files; a redirect may only lead to another https address.
    curl_easy_setopt(transfer->handle(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(transfer->handle(), CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(transfer->handle(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
    BVLog("Downloading the update from %@", offer.url);
    const CURLcode code = transfer->perform();
    auto cleanUp = [&] { fs::remove(part, ignored); };
    if (receiver.writeError()) {
        cleanUp();
        return failed("the file " + part +
                      " cannot be written: " + std::strerror(receiver.writeError()));
    }
    if (code != CURLE_OK) {
        cleanUp();
        return failed(transfer->errorFor(code).description());
    }
    if (receiver.status() != 200) {
        cleanUp();
        return failed("the service answered " + std::to_string(receiver.status()) +
                      " for the update's link");
    }
    if (receiver.expected() >= 0 &&
        receiver.received() != static_cast<uint64_t>(receiver.expected())) {
        cleanUp();
        return failed("the download was cut off");
    }
    if (offer.size && receiver.received() != *offer.size) {
        cleanUp();
        return failed("the file has " + std::to_string(receiver.received()) +
                      " bytes where the offer says " + std::to_string(*offer.size));
    }
    result.sha256 = receiver.sha256();
    if (!offer.sha256.empty() && result.sha256 != offer.sha256) {
        cleanUp();
        return failed("the file's SHA-256 is not the one the offer gives");
    }
    if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
        cleanUp();
        return failed("the file " + part + " cannot be written: " + std::strerror(errno));
    }
    if (::rename(part.c_str(), target_.c_str()) != 0) {
        cleanUp();
        return failed("the file " + target_ + " cannot be made: " + std::strerror(errno));
    }
    if (progress)
        progress(100);
    result.ok = true;
    result.path = target_;
    BVLog("Update downloaded to %@ (%llu bytes, SHA-256 %@)", target_,
          static_cast<unsigned long long>(receiver.received()), result.sha256);
    return result;
}
