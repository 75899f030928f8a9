#include "Keelhaven/SyncEngine/LocalTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/XdgPaths.h"

namespace {

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > start)
            parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::string errnoText() {
    return std::strerror(errno);
}

// Percent-encodes a path for the trash info file, keeping "/" and unreserved characters.
std::string encodedPath(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool copyFile(int fromDir, const std::string& from, int toDir, const std::string& to) {
    bv::UniqueFd in(::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in)
        return false;
    bv::UniqueFd out(
        ::openat(toDir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out)
        return false;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!writeAll(out.get(), std::string(buffer, static_cast<size_t>(n))))
            return false;
    }
    struct stat st {};
    if (::fstat(in.get(), &st) == 0) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.get(), times);
    }
    return ::fsync(out.get()) == 0;
}

}  // namespace

LocalTree::LocalTree(std::filesystem::path root, std::filesystem::path trashRoot)
    : root_(std::move(root)),
      trashRoot_(trashRoot.empty() ? bv::XdgPaths::dataHome() / "Trash" : std::move(trashRoot)) {}

std::string LocalTree::relative(const std::string& absolutePath) const {
    std::string base = root_.string();
    if (absolutePath.compare(0, base.size(), base) != 0)
        return "";
    std::string rest = absolutePath.substr(base.size());
    while (!rest.empty() && rest.front() == '/')
        rest.erase(0, 1);
    return rest;
}

bv::UniqueFd LocalTree::openParent(const std::string& relativePath, std::string* leaf) const {
    auto parts = components(relativePath);
    bv::UniqueFd dir(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || parts.empty()) {
        if (parts.empty())
            errno = EINVAL;
        return bv::UniqueFd();
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == "..") {
            errno = EPERM;
            return bv::UniqueFd();
        }
        bv::UniqueFd next(
            ::openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next)
            return bv::UniqueFd();
        dir = std::move(next);
    }
    if (parts.back() == "..") {
        errno = EPERM;
        return bv::UniqueFd();
    }
    if (leaf)
        *leaf = parts.back();
    return dir;
}

bool LocalTree::makeFolder(const std::string& relativePath, std::string* error) const {
    auto parts = components(relativePath);
    bv::UniqueFd dir(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        if (error)
            *error = errnoText();
        return false;
    }
    for (const auto& part : parts) {
        if (part == "..") {
            if (error)
                *error = "refused name \"..\"";
            return false;
        }
        if (::mkdirat(dir.get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
            if (error)
                *error = errnoText();
            return false;
        }
        bv::UniqueFd next(
            ::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (error)
                *error = errno == ELOOP || errno == ENOTDIR
                             ? "a file or symbolic link stands in the way"
                             : errnoText();
            return false;
        }
        dir = std::move(next);
    }
    return true;
}

bool LocalTree::createPart(const std::string& relativePath, const std::string& id,
                           bv::UniqueFd* parent, std::string* partName, std::string* partPath,
                           std::string* error) const {
    std::string leaf;
    *parent = openParent(relativePath, &leaf);
    if (!*parent) {
        if (error)
            *error = errnoText();
        return false;
    }
    *partName = std::string(kPartPrefix) + id;
    // A stale part of an interrupted run is only ever our own.
    ::unlinkat(parent->get(), partName->c_str(), 0);
    bv::UniqueFd part(::openat(parent->get(), partName->c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!part) {
        if (error)
            *error = errnoText();
        return false;
    }
    *partPath = "/proc/self/fd/" + std::to_string(parent->get()) + "/" + *partName;
    return true;
}

bool LocalTree::installPart(int parentFd, const std::string& partName,
                            const std::string& relativePath, std::string* replaced,
                            std::string* error) const {
    std::string leaf = components(relativePath).back();
    struct stat st {};
    if (::fstatat(parentFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            if (error)
                *error = "a folder of that name exists";
            ::unlinkat(parentFd, partName.c_str(), 0);
            return false;
        }
        if (!trashAt(parentFd, leaf, relativePath, replaced, error)) {
            ::unlinkat(parentFd, partName.c_str(), 0);
            return false;
        }
    }
    ::fchmodat(
        parentFd, partName.c_str(),
        0666 &
            ~[] {
                mode_t mask = ::umask(0);
                ::umask(mask);
                return mask;
            }(),
        0);
    if (::renameat(parentFd, partName.c_str(), parentFd, leaf.c_str()) != 0) {
        if (error)
            *error = errnoText();
        ::unlinkat(parentFd, partName.c_str(), 0);
        return false;
    }
    return true;
}

bool LocalTree::makeLink(const std::string& relativePath, const std::string& target,
                         int64_t modified, std::string* replaced, std::string* error) const {
    std::string leaf;
    bv::UniqueFd parent = openParent(relativePath, &leaf);
    if (!parent) {
        if (error)
            *error = errnoText();
        return false;
    }
    std::string partName = std::string(kPartPrefix) + "link-" + leaf;
    ::unlinkat(parent.get(), partName.c_str(), 0);
    if (::symlinkat(target.c_str(), parent.get(), partName.c_str()) != 0) {
        if (error)
            *error = errnoText();
        return false;
    }
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(parent.get(), partName.c_str(), times, AT_SYMLINK_NOFOLLOW);
    struct stat st {};
    if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !trashAt(parent.get(), leaf, relativePath, replaced, error)) {
        ::unlinkat(parent.get(), partName.c_str(), 0);
        return false;
    }
    if (::renameat(parent.get(), partName.c_str(), parent.get(), leaf.c_str()) != 0) {
        if (error)
            *error = errnoText();
        ::unlinkat(parent.get(), partName.c_str(), 0);
        return false;
    }
    return true;
}

bool LocalTree::trash(const std::string& relativePath, std::string* trashedAs,
                      std::string* error) const {
    std::string leaf;
    bv::UniqueFd parent = openParent(relativePath, &leaf);
    if (!parent) {
        if (errno == ENOENT)
            return true;
        if (error)
            *error = errnoText();
        return false;
    }
    struct stat st {};
    if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return trashAt(parent.get(), leaf, relativePath, trashedAs, error);
}

bool LocalTree::trashAt(int parentFd, const std::string& leaf, const std::string& relativePath,
                        std::string* trashedAs, std::string* error) const {
    std::error_code ec;
    std::filesystem::create_directories(trashRoot_ / "files", ec);
    std::filesystem::create_directories(trashRoot_ / "info", ec);
    ::chmod(trashRoot_.c_str(), 0700);
    bv::UniqueFd files(::open((trashRoot_ / "files").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bv::UniqueFd info(::open((trashRoot_ / "info").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!files || !info) {
        if (error)
            *error = "cannot open the trash: " + errnoText();
        return false;
    }
    // The info file is claimed first: its exclusive creation reserves the name.
    std::string name;
    bv::UniqueFd infoFd;
    for (int n = 1; n < 10000 && !infoFd; ++n) {
        name = n == 1 ? leaf : leaf + "." + std::to_string(n);
        infoFd = bv::UniqueFd(::openat(info.get(), (name + ".trashinfo").c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!infoFd && errno != EEXIST)
            break;
    }
    if (!infoFd) {
        if (error)
            *error = "cannot write the trash info: " + errnoText();
        return false;
    }
    char date[32];
    std::time_t now = std::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::string original = (root_ / relativePath).lexically_normal().string();
    writeAll(infoFd.get(),
             "[Trash Info]\nPath=" + encodedPath(original) + "\nDeletionDate=" + date + "\n");
    infoFd.reset();
    if (::renameat(parentFd, leaf.c_str(), files.get(), name.c_str()) != 0) {
        bool moved = false;
        struct stat st {};
        if (errno == EXDEV && ::fstatat(parentFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && copyFile(parentFd, leaf, files.get(), name))
            moved = ::unlinkat(parentFd, leaf.c_str(), 0) == 0;
        if (!moved) {
            if (error)
                *error = "cannot move to the trash: " + errnoText();
            ::unlinkat(info.get(), (name + ".trashinfo").c_str(), 0);
            return false;
        }
    }
    if (trashedAs)
        *trashedAs = (trashRoot_ / "files" / name).string();
    return true;
}

bool LocalTree::linkLeavesRoot(const std::string& relativePath, const std::string& target) const {
    if (target.empty())
        return false;
    std::string text;
    std::string rootText;
    if (target[0] == '/') {
        rootText = root_.lexically_normal().string();
        text = std::filesystem::path(target).lexically_normal().string();
    } else {
        // Against a stand-in root, so that a ".." climbing above it stays visible.
        rootText = "/root-of-task";
        std::filesystem::path base = std::filesystem::path(rootText) / relativePath;
        text = (base.parent_path() / target).lexically_normal().string();
    }
    while (rootText.size() > 1 && rootText.back() == '/')
        rootText.pop_back();
    if (text.compare(0, rootText.size(), rootText) != 0)
        return true;
    return text.size() > rootText.size() && text[rootText.size()] != '/';
}
