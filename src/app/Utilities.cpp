#include "app/Utilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVUserItems.h"
#include "app/FileManagerExtendedAttributes.h"
#include "app/Logging/BVLogging.h"
#include "platform/Digest.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/RunLoop.h"
#include "platform/TmpPaths.h"
#include "platform/UserInterface.h"
#include "platform/XdgPaths.h"

#ifndef BV_APP_VERSION
#define BV_APP_VERSION "0.0.0"
#endif
#ifndef BV_BUILD_NUMBER
#define BV_BUILD_NUMBER "0"
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppSupportFailure =
    "Unable to find or create application support directory:\n%@";
constexpr double kErrorPresentationInterval = 15;
constexpr size_t kMaxErrorChain = 32;

std::mutex mountOverrideLock;  // guards mountOverride
std::optional<std::string> mountOverride;

std::mutex presenterLock;  // guards presenterClock and lastPresented
std::shared_ptr<bv::Clock> presenterClock;
std::map<int64_t, double> lastPresented;  // error code -> time of its last alert

std::mutex refreshPathsLock;  // guards refreshPaths
std::set<std::string> refreshPaths;

// A user name becomes one path component; anything that could name another folder is refused.
bool isSafeComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::optional<std::string> userFolder(const std::string& userName, const std::string& below) {
    if (!isSafeComponent(userName)) {
        BVLog(kAppSupportFailure, "refused user name " + userName);
        return std::nullopt;
    }
    return Utilities::findOrCreateDirectory("Brimvault/" + userName + below, kAppSupportFailure);
}

std::string errorLine(const bv::Error& error) {
    std::string text;
    if (error.isSet()) {
        std::string description;
        if (auto it = error.userInfo().find(bv::kLocalizedDescriptionKey);
            it != error.userInfo().end()) {
            if (auto* s = std::get_if<std::string>(&it->second))
                description = *s;
        }
        std::string reason = error.failureReason();
        if (!reason.empty() && (description.empty() || reason != description)) {
            text = reason;
        } else if (!description.empty()) {
            text = description;
        } else {
            text = error.description();
        }
    }
    if (text.empty())
        text = "Unknown error";
    return bv::format("- %@ [%ld]\n", text, error.code());
}

void showAlert(const std::string& text, int64_t code) {
    {
        std::lock_guard lock(presenterLock);
        auto clock = presenterClock ? presenterClock : bv::Clock::system();
        double now = clock->now();
        auto it = lastPresented.find(code);
        if (it != lastPresented.end() && now - it->second < kErrorPresentationInterval)
            return;
        lastPresented[code] = now;
    }
    bv::UserInterface::current()->alert(text, "", {"OK"});
}

std::string formatNumber(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0')
            text.pop_back();
        if (text.back() == '.')
            text.pop_back();
    }
    return text;
}

}  // namespace

std::optional<std::string> Utilities::findOrCreateDirectory(const std::string& component,
                                                            const char* failureFormat,
                                                            bv::Error* error) {
    fs::path base = bv::XdgPaths::dataHome();
    fs::path folder = base / component;
    if (base.empty() || !bv::XdgPaths::createPrivateDirectories(folder)) {
        bv::Error err = bv::Error::make(-1, "Cannot create " + folder.string());
        BVLog(failureFormat, err);
        bv::setError(error, err);
        return std::nullopt;
    }
    return folder.string();
}

std::optional<std::string> Utilities::cacheRootPathFor(const BVUserSessionItem* session) {
    if (!session)
        return std::nullopt;
    return userFolder(session->username, "/Cache");
}

std::optional<std::string> Utilities::cacheRootPath() {
    return cacheRootPathFor(currentUserSession().get());
}

std::optional<std::string> Utilities::saveAsPath() {
    auto session = currentUserSession();
    if (!session)
        return std::nullopt;
    return userFolder(session->username, "/SaveAs");
}

std::optional<std::string> Utilities::khdRootPathFor(const BVUserSessionItem* session) {
    if (!session)
        return std::nullopt;
    return khdRootPathForAccount(session->username);
}

std::optional<std::string> Utilities::khdRootPathForAccount(const std::string& userName) {
    return userFolder(userName, "/KHD");
}

std::optional<std::string> Utilities::khdRootPath() {
    if (auto session = currentUserSession())
        return khdRootPathFor(session.get());
    auto name = loadIdFromBrimvaultIDId();
    if (!name)
        return std::nullopt;
    return khdRootPathForAccount(*name);
}

std::optional<std::string> Utilities::taskFileDirectory(const std::string& taskName) {
    auto root = khdRootPath();
    if (!root || !isSafeComponent(taskName))
        return std::nullopt;
    fs::path relative = fs::path(*root).lexically_relative(bv::XdgPaths::dataHome());
    return findOrCreateDirectory((relative / "Data" / taskName).string(), kAppSupportFailure);
}

std::optional<std::string> Utilities::LogFilePath() {
    return findOrCreateDirectory("Brimvault/LogDirectory", kAppSupportFailure);
}

std::optional<std::string> Utilities::renamingsLog() {
    return findOrCreateDirectory("Brimvault/rns", "Unable to find or create rns directory:\n%@");
}

std::optional<std::string> Utilities::getInstallerLogFilePath() {
    return findOrCreateDirectory("Brimvault/bvinst", kAppSupportFailure);
}

std::optional<std::string> Utilities::loadIdFromBrimvaultIDId() {
    return loadIdFromBrimvaultIDId(bv::bvTmpPath(kUserNameFile));
}

std::optional<std::string> Utilities::loadIdFromBrimvaultIDId(const std::string& file) {
    return readOwnStateFile(file, 250);
}

std::optional<std::string> Utilities::readOwnStateFile(const std::string& file, size_t maxBytes) {
    int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
        std::string buffer(maxBytes, '\0');
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got > 0) {
            buffer.resize(size_t(got));
            text = std::move(buffer);
        }
    }
    ::close(fd);
    return text;
}

void Utilities::setMountDirectoryOverride(std::optional<std::string> folder) {
    std::lock_guard lock(mountOverrideLock);
    mountOverride = std::move(folder);
}

std::string Utilities::driveMountDirectory() {
    {
        std::lock_guard lock(mountOverrideLock);
        if (mountOverride && !mountOverride->empty())
            return *mountOverride;
    }
    std::string preferred = bv::Preferences::standard().stringForKey("mountDirectory");
    if (!preferred.empty())
        return preferred;
    std::error_code ec;
    if (fs::is_directory("/Volumes", ec) || fs::create_directory("/Volumes", ec))
        return "/Volumes";
    fs::path fallback = bv::XdgPaths::home() / "Volumes";
    fs::create_directories(fallback, ec);
    return fallback.string();
}

std::string Utilities::driveRootPathFor(const BVUserSessionItem& session) {
    return bv::format("%@/%@", driveMountDirectory(), session.driveName);
}

std::string Utilities::driveRootPath() {
    auto session = currentUserSession();
    return session ? driveRootPathFor(*session) : std::string();
}

std::shared_ptr<BVUserSessionItem> Utilities::currentUserSession() {
    auto controller = BVCacheController::sharedController();
    return controller ? controller->fetchUserSession("default") : nullptr;
}

uint64_t Utilities::getFreeDiskSpaceOnThisMac() {
    struct statvfs st {};
    if (::statvfs(bv::XdgPaths::home().c_str(), &st) != 0)
        return 0;
    return uint64_t(st.f_bavail) * uint64_t(st.f_frsize);
}

std::string Utilities::getFreeDiskSpaceStringOnThisMac() {
    struct statvfs st {};
    if (::statvfs(bv::XdgPaths::home().c_str(), &st) != 0)
        return "Unknown";
    return getSizeFormattedStr(uint64_t(st.f_bavail) * uint64_t(st.f_frsize));
}

std::string Utilities::errorPresentationText(const bv::Error& error, const std::string& name) {
    std::string lines;
    const bv::Error* current = &error;
    std::shared_ptr<const bv::Error> holder;
    for (size_t depth = 0; current && current->isSet() && depth < kMaxErrorChain; ++depth) {
        lines += errorLine(*current);
        holder = current->underlyingError();
        current = holder.get();
    }
    std::string text = (name.empty() ? std::string("Error") : name) + ":\n";
    if (lines.empty())
        return text + bv::format("- Unknown error (%@)", error);
    return text + lines;
}

void Utilities::presentError(const bv::Error& error) {
    presentError(error, "");
}

void Utilities::presentError(const bv::Error& error, const std::string& name) {
    std::string text = errorPresentationText(error, name);
    int64_t code = error.code();
    if (bv::RunLoop::isMainThread()) {
        showAlert(text, code);
    } else {
        bv::RunLoop::main().perform([text, code] { showAlert(text, code); });
    }
}

void Utilities::setClock(std::shared_ptr<bv::Clock> clock) {
    std::lock_guard lock(presenterLock);
    presenterClock = std::move(clock);
}

void Utilities::resetPresentedErrors() {
    std::lock_guard lock(presenterLock);
    lastPresented.clear();
}

void Utilities::fireFinderSyncEventAt(const std::string& path) {
    bv::NotificationCenter::defaultCenter().post(kFinderSyncEventNotification, {{"path", path}});
}

void Utilities::fireFinderSyncEventAtRelativePath(const std::string& relativePath) {
    std::string root = driveRootPath();
    if (!relativePath.empty() && relativePath.front() != '/')
        root += "/";
    fireFinderSyncEventAt(root + relativePath);
}

void Utilities::fireFinderSyncEventAtRelativePathArray(const std::vector<std::string>& paths) {
    std::set<std::string> seen;
    for (const auto& path : paths) {
        if (seen.insert(path).second)
            fireFinderSyncEventAtRelativePath(path);
    }
}

bool Utilities::setFileFinderProgress(double fraction, const std::string& path) {
    // Linux offers no way to set a file's creation date, so the attribute alone marks the
    // transfer; the modification date is left alone because other tools rely on it.
    char text[64];
    std::snprintf(text, sizeof text, "%f", fraction);
    bv::Error error;
    bool ok = FileManagerExtendedAttributes::setExtendedAttribute(
        "com.apple.progress.fractionCompleted", bv::Data::fromString(text), path, true, 0, &error);
    if (!ok)
        BVLog("setFileFinderProgress failed: %@", error);
    return ok;
}

void Utilities::addPathForRefresh(const std::string& path) {
    std::lock_guard lock(refreshPathsLock);
    refreshPaths.insert(path);
}

bool Utilities::shouldRefreshPath(const std::string& path) {
    std::lock_guard lock(refreshPathsLock);
    return refreshPaths.count(path) != 0;
}

void Utilities::removePathForRefresh(const std::string& path) {
    std::lock_guard lock(refreshPathsLock);
    refreshPaths.erase(path);
}

std::string Utilities::md5HexDigest(std::optional<std::string_view> text) {
    return bv::md5HexDigest(text);
}

const std::string& Utilities::appRuntimeIdentifier() {
    return bv::processRunIdentifier();
}

std::string Utilities::appVersion() {
    return BV_APP_VERSION;
}

std::string Utilities::buildNumber() {
    return BV_BUILD_NUMBER;
}

std::string Utilities::dateToStr(double secondsSince1970) {
    std::time_t t = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm local{};
    if (!::localtime_r(&t, &local))
        return "";
    char buffer[64];
    size_t n = std::strftime(buffer, sizeof buffer, "%d/%m/%Y %I:%M:%S %p", &local);
    return std::string(buffer, n);
}

std::string Utilities::getSizeFormattedStr(uint64_t bytes) {
    if (bytes == 0)
        return "Zero KB";
    if (bytes == 1)
        return "1 byte";
    if (bytes < 1000)
        return std::to_string(bytes) + " bytes";
    static const char* units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1000.0;
    size_t unit = 0;
    while (value >= 999.5 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    int decimals = unit == 0 ? 0 : (unit == 1 ? 1 : 2);
    return formatNumber(value, decimals) + " " + units[unit];
}
