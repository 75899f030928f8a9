#include "DriveFS/BVFuseOperations.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Controllers/BVVolumeChangeHook.h"
#include "DriveFS/BVDriveFS.h"
#include "DriveFS/BVDriveFSErrors.h"
#include "DriveFS/BVMountOptions.h"
#include "app/Logging/BVLogging.h"

namespace {

BVDriveFS& fs() {
    return *static_cast<BVDriveFS*>(fuse_get_context()->private_data);
}

BVDriveFSHandle* handleOf(fuse_file_info* fi) {
    return fi && fi->fh ? fs().handleFor(fi->fh) : nullptr;
}

// -errno of an operation's failure; noErrorCode when it gave no error object.
int failure(const bv::Error& error, int noErrorCode = EIO) {
    return -(error ? BVDriveFSErrors::posixCodeFor(error) : noErrorCode);
}

// The kernel keeps what it learned of these paths (the mount caches attributes, names and
// contents): a change made here is reported like one learned from the service, so the
// daemon's own later view (the service's size and date after an upload) reaches the kernel.
// Answers code, so that an adapter can end with it.
int changed(int code, std::vector<std::string> paths) {
    if (code == 0)
        BVVolumeChangeHook::notify(paths);
    return code;
}

// The kernel holds the lock of the folder of each of these paths until the request is
// answered (see BVFolderRequests); throws only for want of memory, inside guarded().
BVFolderRequests::Request inFoldersOf(std::initializer_list<const char*> paths) {
    std::vector<std::string> folders;
    for (const char* path : paths)
        if (path && std::strcmp(path, "/") != 0)
            folders.push_back(BVVolumePath::parent(path));
    return BVFolderRequests::Request(fs().folderRequests(), std::move(folders));
}

// Runs one adapter body; whatever it throws becomes EIO, never a crash of the kernel's call.
template <class Body>
int guarded(const char* operation, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& exception) {
        try {
            BVLog("%s failed with an exception: %s", operation, exception.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            BVLog("%s failed with an exception", operation);
        } catch (...) {
        }
    }
    return -EIO;
}

void* bvInit(fuse_conn_info* connection, fuse_config* config) {
    BVMountOptions::applyToConnection(connection, config);
    return fuse_get_context()->private_data;
}

// The end of the mount: files the kernel never released are finished here.
void bvDestroy(void* privateData) {
    guarded("destroy", [&] {
        static_cast<BVDriveFS*>(privateData)->releaseOpenHandles();
        return 0;
    });
}

int bvGetattr(const char* path, struct stat* st, fuse_file_info*) {
    return guarded("getattr", [&] {
        auto request = inFoldersOf({path});
        bv::Error error;
        auto attributes = fs().attributesOfItemAtPath(path, &error);
        if (!attributes)
            return failure(error, ENOENT);
        std::memset(st, 0, sizeof(*st));
        st->st_mode = (attributes->isDirectory ? S_IFDIR : S_IFREG) | attributes->posixPermissions;
        st->st_nlink = attributes->isDirectory ? 2 : 1;
        st->st_uid = getuid();
        st->st_gid = getgid();
        st->st_size = static_cast<off_t>(attributes->size.value_or(0));
        st->st_blksize = BVMountOptions::kMaxTransfer;
        // Rounded up without overflowing: a service may announce any size.
        st->st_blocks = st->st_size / 512 + (st->st_size % 512 != 0);
        st->st_mtim.tv_sec = static_cast<time_t>(attributes->modificationDate);
        st->st_ctim.tv_sec = static_cast<time_t>(attributes->modificationDate);
        st->st_atim.tv_sec = static_cast<time_t>(attributes->modificationDate);
        return 0;
    });
}

int bvReaddir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    return guarded("readdir", [&] {
        // A listing holds the lock of the folder listed.
        auto request = BVFolderRequests::Request(fs().folderRequests(), {path});
        bv::Error error;
        auto names = fs().contentsOfDirectoryAtPath(path, &error);
        if (!names)
            return failure(error);
        filler(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        filler(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        for (const auto& name : *names)
            if (filler(buffer, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0)))
                break;
        return 0;
    });
}

int bvOpen(const char* path, fuse_file_info* fi) {
    return guarded("open", [&] {
        bv::Error error;
        const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
        auto handle = fs().openFileAtPath(path, writing, (fi->flags & O_TRUNC) != 0, &error);
        if (!handle)
            return failure(error);
        fi->fh = fs().adoptHandle(std::move(handle));
        return 0;
    });
}

int bvCreate(const char* path, mode_t, fuse_file_info* fi) {
    return guarded("create", [&] {
        auto request = inFoldersOf({path});
        bv::Error error;
        auto handle = fs().createFileAtPath(path, &error);
        if (!handle)
            return failure(error);
        fi->fh = fs().adoptHandle(std::move(handle));
        return changed(0, {path});
    });
}

int bvRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    return guarded("read", [&] {
        bv::Error error;
        auto* handle = handleOf(fi);
        if (!handle || offset < 0)
            return -EBADF;
        auto count =
            fs().readFileAtPath(path, *handle, buffer, size, static_cast<uint64_t>(offset), &error);
        return count < 0 ? failure(error) : static_cast<int>(count);
    });
}

int bvWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    return guarded("write", [&] {
        bv::Error error;
        auto* handle = handleOf(fi);
        if (!handle || offset < 0)
            return -EBADF;
        auto count = fs().writeFileAtPath(path, *handle, buffer, size,
                                          static_cast<uint64_t>(offset), &error);
        return count < 0 ? failure(error) : static_cast<int>(count);
    });
}

int bvFlush(const char* path, fuse_file_info* fi) {
    return guarded("flush", [&] {
        bv::Error error;
        auto* handle = handleOf(fi);
        if (!handle)
            return 0;
        const bool written = handle->isWriter();
        const int code = fs().flushFileAtPath(path, *handle, &error) ? 0 : failure(error);
        return written ? changed(code, {path}) : code;
    });
}

int bvFsync(const char* path, int, fuse_file_info* fi) {
    return bvFlush(path, fi);
}

int bvRelease(const char* path, fuse_file_info* fi) {
    return guarded("release", [&] {
        auto handle = fs().takeHandle(fi->fh);
        fi->fh = 0;
        fs().releaseFileAtPath(path, std::move(handle));
        return 0;
    });
}

int bvRename(const char* from, const char* to, unsigned int flags) {
    return guarded("rename", [&] {
        auto request = inFoldersOf({from, to});
        // Exchanging or refusing to replace are promises the service cannot keep atomically.
        if (flags != 0)
            return -EINVAL;
        bv::Error error;
        return changed(fs().moveItemAtPath(from, to, &error) ? 0 : failure(error), {from, to});
    });
}

int bvUnlink(const char* path) {
    return guarded("unlink", [&] {
        auto request = inFoldersOf({path});
        bv::Error error;
        return changed(fs().removeItemAtPath(path, &error) ? 0 : failure(error), {path});
    });
}

int bvRmdir(const char* path) {
    return guarded("rmdir", [&] {
        auto request = inFoldersOf({path});
        bv::Error error;
        return changed(fs().removeDirectoryAtPath(path, &error) ? 0 : failure(error), {path});
    });
}

int bvMkdir(const char* path, mode_t) {
    return guarded("mkdir", [&] {
        auto request = inFoldersOf({path});
        bv::Error error;
        return changed(fs().createDirectoryAtPath(path, &error) ? 0 : failure(error), {path});
    });
}

int bvStatfs(const char* path, struct statvfs* st) {
    return guarded("statfs", [&] {
        bv::Error error;
        auto size = fs().attributesOfFileSystemForPath(path, &error);
        if (!size)
            return failure(error);
        std::memset(st, 0, sizeof(*st));
        constexpr uint64_t kBlock = 4096;
        st->f_bsize = st->f_frsize = kBlock;
        st->f_blocks = size->size / kBlock;
        st->f_bfree = st->f_bavail = size->freeSize / kBlock;
        st->f_namemax = BVDriveFSErrors::kMaxNameBytes;
        return 0;
    });
}

int bvTruncate(const char* path, off_t size, fuse_file_info* fi) {
    return guarded("truncate", [&] {
        if (size < 0)
            return -EINVAL;
        bv::Error error;
        return changed(fs().setSize(path, handleOf(fi), static_cast<uint64_t>(size), &error)
                           ? 0
                           : failure(error),
                       {path});
    });
}

int bvChmod(const char* path, mode_t mode, fuse_file_info*) {
    return guarded("chmod", [&] {
        BVTmpController::Attributes attributes;
        attributes.posixPermissions = mode & 07777;
        fs().setAttributes(attributes, path);
        return 0;
    });
}

int bvChown(const char*, uid_t, gid_t, fuse_file_info*) {
    return 0;
}

int bvUtimens(const char* path, const struct timespec times[2], fuse_file_info*) {
    return guarded("utimens", [&] {
        BVTmpController::Attributes attributes;
        if (times && times[1].tv_nsec != UTIME_OMIT && times[1].tv_nsec != UTIME_NOW)
            attributes.modificationDate = static_cast<double>(times[1].tv_sec);
        fs().setAttributes(attributes, path);
        return 0;
    });
}

int bvSymlink(const char* target, const char* path) {
    return guarded("symlink", [&] {
        auto request = inFoldersOf({path});
        bv::Error error;
        return fs().createSymbolicLinkAtPath(path, target, &error) ? 0 : failure(error, EPERM);
    });
}

int bvLink(const char* from, const char* to) {
    return guarded("link", [&] {
        auto request = inFoldersOf({to});
        bv::Error error;
        return fs().linkItemAtPath(from, to, &error) ? 0 : failure(error, EPERM);
    });
}

int bvListxattr(const char* path, char* list, size_t size) {
    return guarded("listxattr", [&] {
        bv::Error error;
        auto names = fs().extendedAttributesOfItemAtPath(path, &error);
        size_t needed = 0;
        for (const auto& name : names)
            needed += name.size() + 1;
        if (size == 0)
            return static_cast<int>(needed);
        if (size < needed)
            return -ERANGE;
        for (const auto& name : names) {
            std::memcpy(list, name.c_str(), name.size() + 1);
            list += name.size() + 1;
        }
        return static_cast<int>(needed);
    });
}

// Security labels and access-control lists are the kernel's namespaces, and the volume keeps
// neither. Saying so (rather than "no such attribute") lets programs stop asking: `ls -l` asks
// for both of every file it lists, and remembers for the rest of the listing that the volume
// has none, where each question would otherwise be a round trip through the daemon.
bool unsupportedNamespace(const char* name) {
    return std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "system.", 7) == 0;
}

int bvGetxattr(const char* path, const char* name, char* value, size_t size) {
    if (unsupportedNamespace(name))
        return -EOPNOTSUPP;
    return guarded("getxattr", [&] {
        bv::Error error;
        auto bytes = fs().valueOfExtendedAttribute(name, path, 0, &error);
        if (!bytes)
            return error ? failure(error) : -ENODATA;
        if (size == 0)
            return static_cast<int>(bytes->size());
        if (size < bytes->size())
            return -ERANGE;
        if (!bytes->empty())
            std::memcpy(value, bytes->bytes(), bytes->size());
        return static_cast<int>(bytes->size());
    });
}

int bvSetxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
    if (unsupportedNamespace(name))
        return -EOPNOTSUPP;
    return guarded("setxattr", [&] {
        bv::Error error;
        return fs().setExtendedAttribute(name, path, bv::Data(value, size), 0, flags, &error)
                   ? 0
                   : failure(error);
    });
}

int bvRemovexattr(const char* path, const char* name) {
    if (unsupportedNamespace(name))
        return -EOPNOTSUPP;
    return guarded("removexattr", [&] {
        bv::Error error;
        return fs().removeExtendedAttribute(name, path, &error) ? 0 : failure(error);
    });
}

fuse_operations makeTable() {
    fuse_operations operations{};
    operations.init = bvInit;
    operations.destroy = bvDestroy;
    operations.getattr = bvGetattr;
    operations.readdir = bvReaddir;
    operations.open = bvOpen;
    operations.create = bvCreate;
    operations.read = bvRead;
    operations.write = bvWrite;
    operations.flush = bvFlush;
    operations.fsync = bvFsync;
    operations.release = bvRelease;
    operations.rename = bvRename;
    operations.unlink = bvUnlink;
    operations.rmdir = bvRmdir;
    operations.mkdir = bvMkdir;
    operations.statfs = bvStatfs;
    operations.truncate = bvTruncate;
    operations.chmod = bvChmod;
    operations.chown = bvChown;
    operations.utimens = bvUtimens;
    operations.symlink = bvSymlink;
    operations.link = bvLink;
    operations.listxattr = bvListxattr;
    operations.getxattr = bvGetxattr;
    operations.setxattr = bvSetxattr;
    operations.removexattr = bvRemovexattr;
    return operations;
}

}  // namespace

const fuse_operations& BVFuseOperations::table() {
    static const fuse_operations operations = makeTable();
    return operations;
}
