#pragma once

#include <string>
#include <vector>

#define FUSE_USE_VERSION 312
#include <fuse.h>

// Every option the volume is mounted with, in one place, with the reason for each.
struct BVMountOptions {
    // The "-o" text handed to libfuse at mount.
    static std::string mountOptionText();
    // The "-o" text of fusermount3, which makes the mount: the kernel's defaults for a FUSE
    // mount as libfuse would ask for them (no set-user-ID programs, no device files) and
    // mountOptionText().
    static std::string fusermountOptionText();
    // The arguments of fuse_new: program name, "-o", mountOptionText().
    static std::vector<std::string> arguments();
    // Applied in the file system's init callback: kernel caches and transfer sizes.
    static void applyToConnection(fuse_conn_info* connection, fuse_config* config);

    static constexpr unsigned kMaxTransfer = 1 << 20;
    // Seconds a cached name stays good unless dropped: about 68 years, i.e. for good.
    static constexpr double kNamesNeverDue = 2147483647.0;
};
