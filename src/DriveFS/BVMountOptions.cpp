#include "DriveFS/BVMountOptions.h"

std::string BVMountOptions::mountOptionText() {
    return std::string(
               // What mount(8), df and file managers show for the volume.
               "fsname=Brimvault,subtype=brimvault,"
               // The kernel unmounts the volume when this process ends in any way, kill -9
               // included, so no dead mount is left for the next run to trip over.
               "auto_unmount,"
               // Large reads: fewer round trips through the daemon per MiB.
               "max_read=") +
           std::to_string(kMaxTransfer);
}

std::vector<std::string> BVMountOptions::arguments() {
    return {"brimvault", "-o", mountOptionText()};
}

void BVMountOptions::applyToConnection(fuse_conn_info* connection, fuse_config* config) {
    // No kernel cache of names, attributes or missing names: the daemon does not yet tell
    // the kernel about changes it learns of, so only its own cache rules may answer.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    // The page cache is dropped at every open: a file changed at the service is never read
    // stale, while reads within one open (and mmap) stay fast.
    config->kernel_cache = 0;
    config->auto_cache = 0;
    // Paths, not inode numbers, identify items here; the kernel's own numbers are fine.
    config->use_ino = 0;
    // Large writes: 1 MiB per call instead of 128 KiB.
    connection->max_write = kMaxTransfer;
    connection->max_read = kMaxTransfer;  // must repeat the mount's max_read
    connection->max_readahead = kMaxTransfer;
    // O_TRUNC reaches open, so a truncating open never fetches the old content first.
    if (connection->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
}
