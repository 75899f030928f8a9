#include "BVApi/Cache/BVTmpController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "app/Logging/BVLogging.h"
#include "platform/Format.h"
#include "platform/TmpPaths.h"
#include "platform/UniqueFd.h"
#include "platform/XdgPaths.h"

namespace fs = std::filesystem;

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

std::mutex sharedStoreLock;  // guards sharedStore
std::shared_ptr<BVTmpController> sharedStore;

bv::Error posixError(int code, const std::string& localPath) {
    bv::ErrorUserInfo info;
    info[bv::kFailureReasonKey] = std::string(std::strerror(code)) + ": " + localPath;
    info["NSFilePath"] = localPath;
    return bv::Error(BVTmpController::kErrorDomain, code, std::move(info));
}

bool fail(bv::Error* error, int code, const std::string& localPath) {
    bv::setError(error, posixError(code, localPath));
    return false;
}

bool fail(bv::Error* error, const std::error_code& ec, const std::string& localPath) {
    return fail(error, ec.value() ? ec.value() : EIO, localPath);
}

// Removes whatever is at root, then makes it afresh; the folders between base and the
// root's parent are made private first, so that nobody else can swap anything on the way.
bool makeRoot(const fs::path& root, const fs::path& base) {
    fs::path relative = root.lexically_relative(base);
    if (relative.empty() || relative.begin()->string() == ".." || relative == ".")
        return false;
    std::vector<std::string> names;
    for (const auto& part : relative)
        names.push_back(part.string());

    bv::UniqueFd parent(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return false;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        // A link or a file of ours in the way is left from an earlier run: replace it.
        bv::UniqueFd next = bv::XdgPaths::openPrivateFolder(parent.get(), names[i], true);
        if (!next)
            return false;
        parent = std::move(next);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    if (::mkdirat(parent.get(), names.back().c_str(), kFolderMode) != 0)
        return false;
    // The umask may have narrowed the mode; it is never wider than asked.
    bv::UniqueFd rootFd(::openat(parent.get(), names.back().c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return rootFd && ::fchmod(rootFd.get(), kFolderMode) == 0;
}

// mkdir -p with owner-only folders, for paths inside the (already private) root.
void makeFolders(const fs::path& folder) {
    struct stat st {};
    if (folder.empty() || ::stat(folder.c_str(), &st) == 0)
        return;
    makeFolders(folder.parent_path());
    ::mkdir(folder.c_str(), kFolderMode);
}

// Makes the local path exclusively, never through a symbolic link.
bv::UniqueFd createExclusive(const std::string& local, int* savedErrno) {
    bv::UniqueFd fd(
        ::open(local.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!fd)
        *savedErrno = errno;
    return fd;
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

BVTmpController::Attributes::Type typeOf(mode_t mode) {
    using Type = BVTmpController::Attributes::Type;
    if (S_ISREG(mode))
        return Type::Regular;
    if (S_ISDIR(mode))
        return Type::Directory;
    if (S_ISLNK(mode))
        return Type::SymbolicLink;
    return Type::Other;
}

// The system calls end a path at its first NUL, so a component "..\0x" would pass a
// comparison with ".." and still climb out; such a path names nothing of ours.
bool holdsNul(std::string_view path) {
    return path.find('\0') != std::string_view::npos;
}

double seconds(const struct timespec& ts) {
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string applicationRoot() {
    std::string root = bv::bvTmpPath(BVTmpController::kDefaultRootPath);
    if (root.empty())
        throw BVTmpControllerException(
            bv::format("Failed to create tmp directory at %@", BVTmpController::kDefaultRootPath));
    return root;
}

}  // namespace

BVTmpController::BVTmpController()
    : BVTmpController(applicationRoot(),
                      bv::TmpPaths::root(bv::TmpPaths::rootOf(kDefaultRootPath)).string()) {}

BVTmpController::BVTmpController(const std::string& rootPath, const std::string& privateBase)
    : rootPath_(fs::path(rootPath).lexically_normal().string()) {
    while (rootPath_.size() > 1 && rootPath_.back() == '/')
        rootPath_.pop_back();
    fs::path root(rootPath_);
    fs::path base = fs::path(privateBase).lexically_normal();
    fs::path relative = root.lexically_relative(base);
    if (privateBase.empty() || relative.empty() || relative.begin()->string() == "..")
        base = root.parent_path();
    if (holdsNul(rootPath) || holdsNul(privateBase) || !root.is_absolute() || !makeRoot(root, base))
        throw BVTmpControllerException(
            bv::format("Failed to create tmp directory at %@", rootPath_));
}

namespace {

std::shared_ptr<BVTmpController> share(std::shared_ptr<BVTmpController> store) {
    std::lock_guard<std::mutex> lock(sharedStoreLock);
    sharedStore = store;
    return store;
}

}  // namespace

std::shared_ptr<BVTmpController> BVTmpController::initSharedController() {
    return share(std::make_shared<BVTmpController>());
}

std::shared_ptr<BVTmpController> BVTmpController::initSharedController(
    const std::string& rootPath, const std::string& privateBase) {
    return share(std::make_shared<BVTmpController>(rootPath, privateBase));
}

std::shared_ptr<BVTmpController> BVTmpController::sharedController() {
    std::lock_guard<std::mutex> lock(sharedStoreLock);
    return sharedStore;
}

void BVTmpController::resetSharedController() {
    std::lock_guard<std::mutex> lock(sharedStoreLock);
    sharedStore.reset();
}

bool BVTmpController::shouldIncludePath(const std::string& path) {
    static constexpr std::array<std::string_view, 3> kNames = {".DS_Store", ".MACOSX_XATTRS",
                                                               ".localized"};
    // A name found anywhere in the text lies inside one component, as none holds a "/".
    for (std::string_view name : kNames)
        if (path.find(name) != std::string::npos)
            return true;
    return false;
}

std::optional<std::string> BVTmpController::localPath(const std::string& path,
                                                      bv::Error* error) const {
    if (holdsNul(path)) {
        fail(error, EINVAL, rootPath_ + "/" + path.substr(0, path.find('\0')));
        return std::nullopt;
    }
    std::string local = rootPath_;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string_view part(path.data() + start, end - start);
        if (part == "..") {
            fail(error, EINVAL, rootPath_ + "/" + path);
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            local += '/';
            local += part;
        }
        start = end + 1;
    }
    return local;
}

std::optional<std::string> BVTmpController::preparedLocalPath(const std::string& path,
                                                              bv::Error* error) const {
    auto local = localPath(path, error);
    if (local)
        createFoldersForPath(*local);
    return local;
}

void BVTmpController::createFoldersForPath(const std::string& localPath) const {
    fs::path relative = fs::path(localPath).lexically_normal().lexically_relative(rootPath_);
    if (holdsNul(localPath) || relative.empty() || *relative.begin() == "..")
        return;
    makeFolders(fs::path(localPath).parent_path());
}

bool BVTmpController::createFileAt(const std::string& path, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    if (::unlink(local->c_str()) != 0 && errno != ENOENT)
        return fail(error, errno, *local);
    int saved = 0;
    bv::UniqueFd fd = createExclusive(*local, &saved);
    return fd ? true : fail(error, saved, *local);
}

bool BVTmpController::createFileAt(const std::string& path, const std::string& basedOn,
                                   bv::Error* error) const {
    if (holdsNul(basedOn))
        return fail(error, EINVAL, basedOn.substr(0, basedOn.find('\0')));
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    BVLog("Removing file before creating %@", *local);
    if (::unlink(local->c_str()) != 0 && errno != ENOENT)
        return fail(error, errno, *local);
    bv::UniqueFd source(::open(basedOn.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source)
        return fail(error, errno, basedOn);
    int saved = 0;
    bv::UniqueFd target = createExclusive(*local, &saved);
    if (!target)
        return fail(error, saved, *local);
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(source.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(error, errno, basedOn);
        if (n == 0)
            return true;
        if (!writeAll(target.get(), buffer.data(), size_t(n)))
            return fail(error, errno ? errno : EIO, *local);
    }
}

bool BVTmpController::fileExistsAt(const std::string& path) const {
    auto local = localPath(path, nullptr);
    struct stat st {};
    return local && ::lstat(local->c_str(), &st) == 0;
}

bool BVTmpController::removeFileAt(const std::string& path, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    BVLog("Removing file at %@", *local);
    std::error_code ec;
    return fs::remove(*local, ec)
               ? true
               : fail(error, ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory),
                      *local);
}

bool BVTmpController::removeItemAt(const std::string& path, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    BVLog("Removing file item at %@", *local);
    std::error_code ec;
    uintmax_t removed = fs::remove_all(*local, ec);
    if (ec)
        return fail(error, ec, *local);
    return removed > 0 ? true : fail(error, ENOENT, *local);
}

bool BVTmpController::moveFileAt(const std::string& path, const std::string& to,
                                 bv::Error* error) const {
    auto from = localPath(path, error);
    auto target = from ? localPath(to, error) : std::nullopt;
    if (!from || !target)
        return false;
    return ::rename(from->c_str(), target->c_str()) == 0 ? true : fail(error, errno, *from);
}

bool BVTmpController::createDirectoryAt(const std::string& path, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    if (::mkdir(local->c_str(), kFolderMode) == 0)
        return true;
    int saved = errno;
    struct stat st {};
    if (saved == EEXIST && ::lstat(local->c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    return fail(error, saved, *local);
}

bool BVTmpController::removeDirectoryAt(const std::string& path, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    BVLog("Removing directory at %@", *local);
    std::error_code ec;
    uintmax_t removed = fs::remove_all(*local, ec);
    if (ec)
        return fail(error, ec, *local);
    return removed > 0 ? true : fail(error, ENOENT, *local);
}

std::optional<bv::Data> BVTmpController::readFileAt(const std::string& path, uint64_t offset,
                                                    uint64_t size, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return std::nullopt;
    bv::UniqueFd fd(::open(local->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        fail(error, errno, *local);
        return std::nullopt;
    }
    uint64_t fileSize = st.st_size > 0 ? uint64_t(st.st_size) : 0;
    if (offset >= fileSize)
        return bv::Data();
    bv::Data data;
    data.resize(size_t(std::min(size, fileSize - offset)));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n =
            ::pread(fd.get(), data.mutableBytes() + done, data.size() - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fail(error, errno, *local);
            return std::nullopt;
        }
        if (n == 0)
            break;  // the file shrank meanwhile
        done += size_t(n);
    }
    data.resize(done);
    return data;
}

bool BVTmpController::writeFileAt(const std::string& path, uint64_t offset, const bv::Data& data,
                                  bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return true;
    bv::UniqueFd fd(::open(local->c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        fail(error, errno, *local);
        return true;
    }
    if (offset > uint64_t(std::numeric_limits<off_t>::max()) - data.size()) {
        fail(error, EFBIG, *local);
        return true;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n =
            ::pwrite(fd.get(), data.bytes() + done, data.size() - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(error, n < 0 ? errno : EIO, *local);
            return true;
        }
        done += size_t(n);
    }
    return true;
}

std::optional<BVTmpController::Attributes> BVTmpController::attributesOfItemAt(
    const std::string& path, bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return std::nullopt;
    struct stat st {};
    if (::lstat(local->c_str(), &st) != 0) {
        fail(error, errno, *local);
        return std::nullopt;
    }
    Attributes attributes;
    attributes.type = typeOf(st.st_mode);
    attributes.size = st.st_size > 0 ? uint64_t(st.st_size) : 0;
    attributes.modificationDate = seconds(st.st_mtim);
    // Linux keeps no creation date in struct stat; the status change is the nearest.
    attributes.creationDate = std::min(seconds(st.st_ctim), seconds(st.st_mtim));
    attributes.posixPermissions = uint32_t(st.st_mode & 07777);
    return attributes;
}

bool BVTmpController::setAttributes(const Attributes& attributes, const std::string& path,
                                    bv::Error* error) const {
    auto local = preparedLocalPath(path, error);
    if (!local)
        return false;
    if (attributes.posixPermissions &&
        ::fchmodat(AT_FDCWD, local->c_str(), mode_t(*attributes.posixPermissions & 07777), 0) != 0)
        return fail(error, errno, *local);
    if (attributes.size) {
        bv::UniqueFd fd(::open(local->c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || ::ftruncate(fd.get(), off_t(*attributes.size)) != 0)
            return fail(error, errno, *local);
    }
    if (attributes.modificationDate) {
        double whole = std::floor(*attributes.modificationDate);
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = time_t(whole);
        times[1].tv_nsec = long((*attributes.modificationDate - whole) * 1e9);
        if (::utimensat(AT_FDCWD, local->c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            return fail(error, errno, *local);
    }
    return true;
}

bool BVTmpController::isEmptyDirectory(const std::string& path) const {
    auto local = preparedLocalPath(path, nullptr);
    if (!local)
        return true;
    std::error_code ec;
    fs::directory_iterator it(*local, ec);
    return ec || it == fs::directory_iterator();
}

void BVTmpController::cleanupDirectory(const std::string& path) const {
    auto local = preparedLocalPath(path, nullptr);
    if (!local)
        return;
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(*local, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const auto& entry : entries) {
        // remove() takes files, links and empty folders, and leaves a folder with entries.
        std::error_code removeError;
        if (fs::remove(entry, removeError))
            BVLog("Removing file before creating %@", *local);
    }
}

std::string BVTmpController::tempPathFor(const std::string& path) const {
    return preparedLocalPath(path, nullptr).value_or(std::string());
}
