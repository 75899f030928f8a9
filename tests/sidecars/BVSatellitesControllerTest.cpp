#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Controllers/BVSatellitesController.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

using Satellites = BVSatellitesController;

TEST(SatellitesTest, OneTableClassifiesDesignAndLinuxHelpers) {
    const std::string look =
        "quicklookd.app/Contents/XPCServices/QuickLookSatellite.xpc/Contents/MacOS/"
        "QuickLookSatellite";
    struct Case {
        std::string executable, bundle;
        unsigned kind;
    } cases[] = {
        {"/System/Library/Frameworks/QuickLook.framework/Resources/" + look, "", 0},
        {"/Library/Something/" + look, "", 0},
        {"/Users/me/" + look, "", 2},  // outside the system folders
        {"/System/Library/PrivateFrameworks/com.apple.iTunesLibraryService.xpc/Contents/MacOS/"
         "com.apple.iTunesLibraryService",
         "", 1},
        {"/System/Library/qtkittrustedmoviesservice.xpc/Contents/MacOS/qtkittrustedmoviesservice",
         "", 1},
        {"/Applications/XMDSViewer.app/Contents/MacOS/XMDSViewer", "/Applications/XMDSViewer.app",
         1},
        {"/x", "/System/Library/Frameworks/mds_stores", 1},
        {"/x", "/Applications/Commands.app", 2},  // no "mds" in it
        {"/x/mds.app/y", "", 2},                  // only the bundle's name counts
        {"/x", "/System/Library/CoreServices/quicklookd.app", 1},
        {"/x", "/System/Library/CoreServices/QuickLookd.app", 2},  // equality keeps case
        {"/x", "/System/COM.APPLE.APPKIT.XPC.OPENANDSAVEPANELSERVICE.xpc", 1},
        {"/x", "/S/com.apple.QTKitServer.xpc/", 1},
        {"/Applications/Safari.app/Contents/MacOS/Safari", "/Applications/Safari.app", 2},
        // Linux helpers, by the name of their executable.
        {"/usr/lib/x86_64-linux-gnu/tumbler-1/tumblerd", "", 0},
        {"/usr/bin/gnome-desktop-thumbnailer", "", 0},
        {"/usr/bin/gdk-pixbuf-thumbnailer", "", 0},
        {"/usr/bin/ffmpegthumbnailer", "", 0},
        {"/usr/libexec/tracker-miner-fs-3", "", 1},
        {"/usr/libexec/tracker-extract-3", "", 1},
        {"/usr/libexec/localsearch-3", "", 1},
        {"/usr/bin/localsearch", "", 1},
        {"/usr/bin/baloo_file", "", 1},
        {"/usr/libexec/baloo_file_extractor", "", 1},
        {"/usr/bin/tumblerd-helper", "", 2},
        {"/home/me/bin/mytumblerd", "", 2},
        {"tumblerd", "", 2},  // not a path
        {"/usr/bin/nautilus", "", 2},
        {"/usr/bin/cat", "", 2},
        {"", "", 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Satellites::classify(c.executable, c.bundle), c.kind)
            << c.executable << " | " << c.bundle;
}

TEST(SatellitesTest, CallerIsReadFromItsProcLink) {
    bvtest::TempDir proc("proc");
    auto plant = [&](pid_t pid, const std::string& target) {
        fs::create_directory(proc.path() / std::to_string(pid));
        fs::create_symlink(target, proc.path() / std::to_string(pid) / "exe");
    };
    plant(100, "/usr/lib/x86_64-linux-gnu/tumbler-1/tumblerd");
    plant(101, "/usr/libexec/tracker-miner-fs-3 (deleted)");  // upgraded while running
    plant(102, "/usr/bin/cat");
    fs::create_directory(proc.path() / "104");  // no link: a kernel thread

    struct Case {
        pid_t pid;
        std::string executable;
        unsigned kind;
    } cases[] = {
        {100, "/usr/lib/x86_64-linux-gnu/tumbler-1/tumblerd", 0},
        {101, "/usr/libexec/tracker-miner-fs-3", 1},
        {102, "/usr/bin/cat", 2},
        {104, "", 2},
        {105, "", 2},  // ended
        {0, "", 2},    // outside a request
        {-1, "", 2},
    };
    for (const auto& c : cases) {
        pid_t current = c.pid;
        Satellites::Options options;
        options.procRoot = proc.path().string();
        options.callerPid = [&] { return current; };
        Satellites satellites(options);
        EXPECT_EQ(satellites.getCallingProcessExecutable(), c.executable) << c.pid;
        EXPECT_EQ(satellites.testCallingProcess(), c.kind) << c.pid;
        EXPECT_EQ(satellites.getCallingProcessBundleExecutable(), "");
    }
}

TEST(SatellitesTest, RealProcFindsThisProcess) {
    Satellites satellites;
    EXPECT_EQ(satellites.executableOf(::getpid()), fs::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(satellites.testProcess(::getpid()), Satellites::kOrdinaryProcess);
}

TEST(SatellitesTest, ThumbnailsOpenForImagesOnly) {
    struct Case {
        const char* path;
        bool opens;
    } cases[] = {
        {"/a/b.jpg", true},    {"/a/b.JPEG", true}, {"/b.Png", true},   {"/a.b/c.png", true},
        {"/a/b.gif", false},   {"/a/jpg", false},   {"/a/.png", false}, {"/a.png/b", false},
        {"/b.png.txt", false}, {"/", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Satellites::openThumbnailAt(c.path), c.opens) << c.path;
}

TEST(SatellitesTest, ThumbnailReadsAreCutAtTheImageEnd) {
    auto thumbnail = std::make_shared<BVFileThumbnailItem>();
    thumbnail->data.resize(1000);
    for (size_t i = 0; i < 1000; ++i)
        thumbnail->data.mutableBytes()[i] = uint8_t(i);
    std::string askedFor;
    Satellites::Options options;
    options.thumbnailSource = [&](const std::string& path, bv::Error*) {
        askedFor = path;
        return path == "/none.jpg" ? nullptr : thumbnail;
    };
    Satellites satellites(options);

    struct Case {
        uint64_t offset, size, expectedLength;
    } cases[] = {
        {0, 65536, 1000},
        {2000, 10, 0},
        {990, 20, 10},
        {1000, 1, 0},
        {10, 5, 5},
        {0, UINT64_MAX, 1000},
        {UINT64_MAX, UINT64_MAX, 0},
    };
    for (const auto& c : cases) {
        bv::Data data = satellites.readThumbnailAt("/p.jpg", c.offset, c.size, nullptr);
        ASSERT_EQ(data.size(), c.expectedLength) << c.offset << "+" << c.size;
        if (!data.empty()) {
            EXPECT_EQ(data.bytes()[0], uint8_t(c.offset));
        }
    }
    EXPECT_EQ(askedFor, "/p.jpg");
    EXPECT_TRUE(satellites.readThumbnailAt("/none.jpg", 0, 10, nullptr).empty());
    EXPECT_TRUE(Satellites().readThumbnailAt("/p.jpg", 0, 10, nullptr).empty());
}

}  // namespace
