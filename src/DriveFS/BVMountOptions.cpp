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

std::string BVMountOptions::fusermountOptionText() {
    return "rw,nosuid,nodev," + mountOptionText();
}

std::vector<std::string> BVMountOptions::arguments() {
    return {"brimvault", "-o", mountOptionText()};
}

void BVMountOptions::applyToConnection(fuse_conn_info* connection, fuse_config* config) {
    // Names and attributes are cached by the kernel. Measured on a 5,000-entry folder, warm:
    // `ls -l` takes about 20 times local disk with no kernel cache (each name costs a lookup
    // and a getattr through the daemon) and about 1.1 times with these. This is correct
    // because every change the daemon makes or learns of reaches the kernel before anyone
    // can ask again: the adapters report their own changes and the background refresh
    // reports what it found changed, through BVVolumeChangeHook to the mount's
    // BVKernelCacheInvalidator, which drops the items' names, attributes and pages and their
    // folders' attributes. Readdir itself is never cached (no cache_readdir), so listings
    // always come from the daemon's listing cache.
    // Names never fall due on their own: a name is dropped by its folder's node number, which
    // is read from the kernel's name cache without asking the daemon (BVKernelFolderNodes),
    // and a folder name that fell due could not be read so while names below it stayed.
    // Attributes are looked at again after a minute.
    config->entry_timeout = kNamesNeverDue;
    config->attr_timeout = 60;
    // Missing names are never cached: the kernel keeps no object for a name that is not
    // there, so the invalidation above has nothing to reach when the service adds one.
    config->negative_timeout = 0;
    // The page cache of a file is kept across opens while its size and date are unchanged
    // (checked at open against what the daemon answers), and dropped by the invalidator when
    // the daemon learns of a change. Warm re-reads then come from the page cache (measured
    // 2.47 s per 256 MiB through the daemon's cache with the page cache dropped at each open).
    config->kernel_cache = 0;
    config->auto_cache = 1;
    // Paths, not inode numbers, identify items here. The invalidator relies on this: with
    // use_ino off, libfuse reports its node numbers as the inode numbers, which is how a
    // folder's number is read from the kernel to drop a name from it.
    config->use_ino = 0;
    // Large writes: 1 MiB per call instead of 128 KiB.
    connection->max_write = kMaxTransfer;
    connection->max_read = kMaxTransfer;  // must repeat the mount's max_read
    // Asked for, but the kernel keeps a FUSE mount's read-ahead at the smaller of this and
    // its device's read_ahead_kb, 128 KiB unless an administrator raises it in
    // /sys/class/bdi/<device>/read_ahead_kb: a sequential read arrives as 128 KiB reads
    // (measured on 6.x kernels, dd bs=1M included). The read-ahead window below the volume
    // (512 KiB cache reads) is what makes those cheap; the daemon, an ordinary user's
    // program, does not try to change the device's setting.
    connection->max_readahead = kMaxTransfer;
    // Reads of one file may come in parallel (the kernel's own read-ahead runs beside the
    // reader): FUSE_CAP_ASYNC_READ is libfuse's default and stays on; the read-ahead reader
    // serialises them per handle.
    // No splice: replies are built from memory buffers, never from a file descriptor, so a
    // splice would only add a pipe on the way to the kernel.
    // O_TRUNC reaches open, so a truncating open never fetches the old content first.
    if (connection->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
}
