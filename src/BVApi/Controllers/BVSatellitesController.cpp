#define FUSE_USE_VERSION 31
#include "BVApi/Controllers/BVSatellitesController.h"

#include <fuse.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "BVApi/Content/BVFileItems.h"
#include "app/Logging/BVLogging.h"

namespace {

enum class Match {
    SystemExecutableSuffix,  // the path begins with "/System" or "/Library" and ends so
    ExecutableName,          // the last component of an absolute path equals the text
    BundleNameContains,      // the bundle's last component contains the text, ignoring case
    BundleNameEquals,        // the bundle's last component equals the text
};

struct Rule {
    unsigned kind;
    Match match;
    std::string_view text;
};

// First match wins, so every thumbnail generator comes before every other helper.
constexpr std::array kRules = {
    Rule{0, Match::SystemExecutableSuffix,
         "quicklookd.app/Contents/XPCServices/QuickLookSatellite.xpc/Contents/MacOS/"
         "QuickLookSatellite"},
    Rule{0, Match::ExecutableName, "tumblerd"},
    Rule{0, Match::ExecutableName, "gnome-desktop-thumbnailer"},
    Rule{0, Match::ExecutableName, "gdk-pixbuf-thumbnailer"},
    Rule{0, Match::ExecutableName, "ffmpegthumbnailer"},
    Rule{0, Match::ExecutableName, "totem-video-thumbnailer"},
    Rule{0, Match::ExecutableName, "evince-thumbnailer"},
    Rule{0, Match::ExecutableName, "gnome-epub-thumbnailer"},
    Rule{0, Match::ExecutableName, "gnome-thumbnail-font"},

    Rule{1, Match::SystemExecutableSuffix,
         "com.apple.iTunesLibraryService.xpc/Contents/MacOS/com.apple.iTunesLibraryService"},
    Rule{1, Match::SystemExecutableSuffix,
         "qtkittrustedmoviesservice.xpc/Contents/MacOS/qtkittrustedmoviesservice"},
    Rule{1, Match::BundleNameContains, "com.apple.qtkitserver.xpc"},
    Rule{1, Match::BundleNameEquals, "quicklookd.app"},
    Rule{1, Match::BundleNameContains, "mds"},
    Rule{1, Match::BundleNameContains, "com.apple.appkit.xpc.openAndSavePanelService"},
    Rule{1, Match::ExecutableName, "tracker-miner-fs-3"},
    Rule{1, Match::ExecutableName, "tracker-extract-3"},
    Rule{1, Match::ExecutableName, "tracker-miner-fs"},
    Rule{1, Match::ExecutableName, "tracker-extract"},
    Rule{1, Match::ExecutableName, "localsearch"},
    Rule{1, Match::ExecutableName, "localsearch-3"},
    Rule{1, Match::ExecutableName, "localsearch-extractor-3"},
    Rule{1, Match::ExecutableName, "baloo_file"},
    Rule{1, Match::ExecutableName, "baloo_file_extractor"},
    Rule{1, Match::ExecutableName, "recollindex"},
};

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string_view lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool matches(const Rule& rule, std::string_view executable, std::string_view bundle) {
    switch (rule.match) {
        case Match::SystemExecutableSuffix:
            return (startsWith(executable, "/System") || startsWith(executable, "/Library")) &&
                   endsWith(executable, rule.text);
        case Match::ExecutableName:
            return startsWith(executable, "/") && lastComponent(executable) == rule.text;
        case Match::BundleNameContains:
            return !bundle.empty() &&
                   lowered(lastComponent(bundle)).find(lowered(rule.text)) != std::string::npos;
        case Match::BundleNameEquals:
            return !bundle.empty() && lastComponent(bundle) == rule.text;
    }
    return false;
}

pid_t requestCallerPid() {
    // Only meaningful inside a file-system request, where the layer keeps its context.
    fuse_context* context = fuse_get_context();
    return context ? context->pid : 0;
}

}  // namespace

BVSatellitesController::BVSatellitesController() : BVSatellitesController(Options{}) {}

BVSatellitesController::BVSatellitesController(Options options) : options_(std::move(options)) {}

std::shared_ptr<BVSatellitesController> BVSatellitesController::sharedController() {
    static const auto instance = std::make_shared<BVSatellitesController>();
    return instance;
}

void BVSatellitesController::setThumbnailSource(ThumbnailSource source) {
    std::lock_guard<std::mutex> lock(thumbnailSourceLock_);
    options_.thumbnailSource = std::move(source);
}

BVSatellitesController::ThumbnailSource BVSatellitesController::thumbnailSource() const {
    std::lock_guard<std::mutex> lock(thumbnailSourceLock_);
    return options_.thumbnailSource;
}

unsigned BVSatellitesController::classify(const std::string& executablePath,
                                          const std::string& bundlePath) {
    for (const Rule& rule : kRules)
        if (matches(rule, executablePath, bundlePath))
            return rule.kind;
    return kOrdinaryProcess;
}

pid_t BVSatellitesController::callerPid() const {
    return options_.callerPid ? options_.callerPid() : requestCallerPid();
}

unsigned BVSatellitesController::testCallingProcess() const {
    return testProcess(callerPid());
}

unsigned BVSatellitesController::testProcess(pid_t pid) const {
    return classify(executableOf(pid), std::string());
}

std::string BVSatellitesController::executableOf(pid_t pid) const {
    if (pid <= 0)
        return std::string();
    std::string link = options_.procRoot + "/" + std::to_string(pid) + "/exe";
    char buffer[4096];
    ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (length <= 0 || size_t(length) >= sizeof buffer)
        return std::string();
    std::string path(buffer, size_t(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (endsWith(path, kDeleted))
        path.resize(path.size() - kDeleted.size());
    return path;
}

std::string BVSatellitesController::getCallingProcessExecutable() const {
    return executableOf(callerPid());
}

std::string BVSatellitesController::getCallingProcessBundleExecutable() const {
    return std::string();
}

bool BVSatellitesController::openThumbnailAt(const std::string& path) {
    std::string_view name = lastComponent(path);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)  // ".png" alone is a hidden name
        return false;
    std::string extension = lowered(name.substr(dot + 1));
    return extension == "jpg" || extension == "jpeg" || extension == "png";
}

bv::Data BVSatellitesController::readThumbnailAt(const std::string& path, uint64_t offset,
                                                 uint64_t size, bv::Error* error) const {
    ThumbnailSource source = thumbnailSource();
    std::shared_ptr<BVFileThumbnailItem> thumbnail = source ? source(path, error) : nullptr;
    if (!thumbnail)
        return bv::Data();
    uint64_t length = thumbnail->data.size();
    uint64_t end = size > length || offset > length - size ? length : offset + size;
    BVLog("Thumb request %lld/%lld", (long long)end, (long long)length);
    if (offset >= length)
        return bv::Data();
    return thumbnail->data.subdata(size_t(offset), size_t(end - offset));
}
