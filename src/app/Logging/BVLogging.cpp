#include "app/Logging/BVLogging.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/CrashReporter.h"
#include "platform/Preferences.h"
#include "platform/UnhandledException.h"
#include "platform/XdgPaths.h"

namespace {

constexpr const char* kRunningKey = "running";
constexpr const char* kCrashBookkeepingName = "PLPCR.s";
constexpr size_t kOwnLogsKept = 18;
constexpr size_t kExtensionLogsKept = 2;
constexpr std::array<const char*, 3> kCrashReportPrefixes = {"BVFinderExtension", "Keelhaven",
                                                             "Brimvault"};

std::atomic<BVLogging*> sharedLogger{nullptr};
std::mutex retiredLock;  // guards retiredLoggers()
// Loggers replaced by a later set-up: other threads may still be writing through them.
std::vector<std::unique_ptr<BVLogging>>& retiredLoggers() {
    static auto* list = new std::vector<std::unique_ptr<BVLogging>>();
    return *list;
}

std::filesystem::path ownLogFolder() {
    return bv::XdgPaths::dataHome() / "Brimvault/LogDirectory";
}

// "yyyy-MM-dd HH:mm:ss" of a moment in local time. The text of the current second is kept
// per thread: formatting the calendar is the costly part of a record.
std::string secondsStamp(std::time_t seconds) {
    thread_local std::time_t cachedSecond = -1;
    thread_local std::string cachedText;
    if (seconds != cachedSecond) {
        std::tm local{};
        localtime_r(&seconds, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        cachedText = text;
        cachedSecond = seconds;
    }
    return cachedText;
}

struct Stamps {
    std::string whole;       // yyyy-MM-dd HH:mm:ss
    std::string hundredths;  // yyyy-MM-dd HH:mm:ss.SS
};

Stamps stampsNow() {
    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    const auto secs = duration_cast<seconds>(now);
    const int cents = static_cast<int>(duration_cast<milliseconds>(now - secs).count() / 10);
    Stamps stamps;
    stamps.whole = secondsStamp(static_cast<std::time_t>(secs.count()));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%02d", cents);
    stamps.hundredths = stamps.whole + fraction;
    return stamps;
}

int openForAppend(const std::string& file) {
    return open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

// Writes the record through the kept descriptor; when the file was removed meanwhile (a
// clean-up of the folder), the name is opened again so records keep reaching a file.
void appendRecord(std::atomic<int>& kept, const std::string& file, const std::string& record) {
    int fd = kept.load(std::memory_order_acquire);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_nlink == 0) {
        int fresh = openForAppend(file);
        if (fresh < 0)
            return;
        if (kept.compare_exchange_strong(fd, fresh, std::memory_order_acq_rel)) {
            // Another thread may still be writing through the old descriptor: it is left
            // open (a removed file is rare) rather than closed under that writer.
            fd = fresh;
        } else {
            close(fresh);  // another thread replaced it first; fd holds its descriptor
        }
    }
    // One write per record: O_APPEND places it whole at the end, even with other writers.
    ssize_t ignored = write(fd, record.data(), record.size());
    (void)ignored;
}

// A file with the two dates that order files newest first.
struct DatedFile {
    std::filesystem::path path;
    // In nanoseconds, exact: a double would merge dates a fraction of a microsecond apart.
    int64_t created = 0;  // the birth time where the file system records one, else mtime
    int64_t modified = 0;
};

DatedFile datedFile(const std::filesystem::path& file) {
    DatedFile dated{file};
    struct statx sx;
    if (statx(AT_FDCWD, file.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) != 0)
        return dated;
    const auto nanoseconds = [](const struct statx_timestamp& t) {
        return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    dated.modified = nanoseconds(sx.stx_mtime);
    dated.created = (sx.stx_mask & STATX_BTIME) ? nanoseconds(sx.stx_btime) : dated.modified;
    return dated;
}

// Newest first, a total order. Birth times come from a coarse kernel clock: files made within
// a few milliseconds share one, and the modification time then tells them apart; the name
// settles the rest, so the choice never depends on directory order.
bool isNewer(const DatedFile& a, const DatedFile& b) {
    if (a.created != b.created)
        return a.created > b.created;
    if (a.modified != b.modified)
        return a.modified > b.modified;
    return a.path > b.path;
}

bool isSuiteCrashReportName(const std::string& name) {
    return std::any_of(kCrashReportPrefixes.begin(), kCrashReportPrefixes.end(),
                       [&](const char* prefix) { return name.rfind(prefix, 0) == 0; });
}

void logUncaughtException(std::exception_ptr error) {
    _Log("DEBUG ", __FILE__, __LINE__, __func__, "================= Exception: %@",
         bv::describeException(error));
    // C++ exceptions carry no user-info; their dynamic type is what tells them apart.
    _Log("DEBUG ", __FILE__, __LINE__, __func__, "%@", bv::exceptionTypeName(error));
    void* frames[128];
    int count = backtrace(frames, 128);
    std::unique_ptr<char*, void (*)(void*)> symbols(backtrace_symbols(frames, count), std::free);
    for (int i = 0; i < count; ++i) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", frames[i]);
        _Log("DEBUG ", __FILE__, __LINE__, __func__, "%@ :: %@", address,
             symbols ? symbols.get()[i] : "?");
    }
}

void logCaughtException(const char* where, std::exception_ptr error) {
    _Log("DEBUG ", __FILE__, __LINE__, __func__, "Unhandled exception in %@: %@",
         where ? where : "?", bv::describeException(error));
}

}  // namespace

BVLogging::BVLogging(std::string prefix) : prefix_(std::move(prefix)) {
    auto folder = prefix_ == "FE" ? extensionLogFolder() : ownLogFolder();
    path_ = folder.string() + "/";
}

BVLogging* BVLogging::setupWithPrefix(const std::string& prefix) {
    auto* logger = new BVLogging(prefix);
    BVLogging* previous = sharedLogger.exchange(logger);
    if (previous) {
        std::lock_guard<std::mutex> lock(retiredLock);
        retiredLoggers().emplace_back(previous);
    }
    bv::setUncaughtExceptionObserver("BVLogging", logUncaughtException);
    bv::setUnhandledExceptionSink(logCaughtException);
    return logger;
}

BVLogging* BVLogging::sharedInstance() {
    return sharedLogger.load();
}

std::filesystem::path BVLogging::extensionLogFolder() {
    return bv::XdgPaths::dataHome() / "Brimvault/BVFinderExtension/LogDirectory";
}

std::filesystem::path BVLogging::diagnosticReportsFolder() {
    return bv::CrashReporter::reportFolder();
}

std::string BVLogging::currentFileName(bool succinct) {
    std::string& slot = succinct ? succinctFileName_ : normalFileName_;
    std::atomic<bool>& ready = succinct ? succinctFileReady_ : normalFileReady_;
    if (ready.load(std::memory_order_acquire))
        return slot;
    std::lock_guard<std::mutex> lock(fileNamesLock_);
    if (!slot.empty())
        return slot;
    if (!bv::XdgPaths::createPrivateDirectories(path_))
        return {};
    std::string name = path_ + bv::format("%@Log-%@.txt", prefix_, stampsNow().hundredths);
    int fd = openForAppend(name);
    if (fd < 0)
        return {};
    (succinct ? succinctFd_ : normalFd_).store(fd, std::memory_order_release);
    slot = name;
    ready.store(true, std::memory_order_release);
    return slot;
}

void BVLogging::fileMessage(const std::string& message, bool succinct) {
    const std::string file = currentFileName(succinct);
    if (file.empty())
        return;
    std::atomic<int>& kept = succinct ? succinctFd_ : normalFd_;
    if (succinct)
        appendRecord(kept, file, message);
    else
        appendRecord(kept, file, "[" + stampsNow().hundredths + "]: " + message);
}

void BVLogging::fileSuccinctMessage(const std::string& message) {
    fileMessage(message, true);
}

void BVLogWrite(bool succinct, std::string message) {
    BVLogging* logger = BVLogging::sharedInstance();
    if (!logger)
        return;
    message += "\n";
    if (succinct)
        logger->fileMessage(message, true);
    else
        logger->fileMessage("[" + stampsNow().whole + "]: " + message, false);
}

bool BVLogging::checkQuitFlag() const {
    return bv::Preferences::standard().boolForKey(kRunningKey);
}

void BVLogging::setRunningFlag(bool running) {
    bv::Preferences::standard().setBool(kRunningKey, running);
}

void BVLogging::cleanup() {
    const auto own = std::filesystem::path(path_);
    const auto extension = extensionLogFolder();
    if (std::filesystem::path(path_) != extension / "")
        cleanupLogsFolder(own, kOwnLogsKept);
    cleanupLogsFolder(extension, kExtensionLogsKept);
}

void BVLogging::cleanupLogsFolder(const std::filesystem::path& folder, size_t maxItems) {
    std::vector<DatedFile> entries;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
        if (!item.is_regular_file(ec))
            continue;
        if (item.path().filename() == kCrashBookkeepingName)
            continue;
        entries.push_back(datedFile(item.path()));
    }
    std::sort(entries.begin(), entries.end(), isNewer);
    for (size_t i = maxItems; i < entries.size(); ++i)
        std::filesystem::remove(entries[i].path, ec);
}

std::vector<std::string> BVLogging::ongoingLogs() const {
    std::vector<std::string> logs;
    std::vector<std::filesystem::path> folders = {std::filesystem::path(path_)};
    if (std::filesystem::path(path_) != extensionLogFolder() / "")
        folders.push_back(extensionLogFolder());
    std::error_code ec;
    for (const auto& folder : folders)
        for (const auto& item : std::filesystem::directory_iterator(folder, ec))
            if (item.is_regular_file(ec))
                logs.push_back((folder / item.path().filename()).string());
    return logs;
}

std::filesystem::path BVLogging::crashBookkeepingFile() const {
    return ownLogFolder() / kCrashBookkeepingName;
}

std::optional<std::string> BVLogging::findNewestFileAt(const std::filesystem::path& folder) {
    std::optional<DatedFile> newest;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
        if (!item.is_regular_file(ec) || !isSuiteCrashReportName(item.path().filename()))
            continue;
        DatedFile candidate = datedFile(item.path());
        // Chosen by modification alone; the name breaks ties, as in isNewer.
        if (!newest || candidate.modified > newest->modified ||
            (candidate.modified == newest->modified && candidate.path > newest->path))
            newest = std::move(candidate);
    }
    if (!newest)
        return std::nullopt;
    return newest->path.string();
}

std::vector<std::string> BVLogging::findBVDiagnosticReports() const {
    std::vector<std::string> reports;
    for (const auto& folder : {diagnosticReportsFolder(), diagnosticReportsFolder() / "Retired"})
        if (auto found = findNewestFileAt(folder))
            reports.push_back(*found);
    return reports;
}

std::vector<std::string> BVLogging::mainDiagnosticReports() const {
    std::vector<std::string> reports;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(diagnosticReportsFolder(), ec))
        if (item.is_regular_file(ec) && isSuiteCrashReportName(item.path().filename()))
            reports.push_back(item.path().string());
    return reports;
}

std::optional<std::string> BVLogging::getPathOfLastGeneratedCrashReport() const {
    std::optional<DatedFile> latest;
    for (const auto& report : findBVDiagnosticReports()) {
        DatedFile candidate = datedFile(report);
        if (!latest || isNewer(candidate, *latest))
            latest = std::move(candidate);
    }
    if (!latest) {
        BVLog("getPathOfLastGeneratedCrashReport returns nil");
        return std::nullopt;
    }
    return latest->path.string();
}

void BVLogging::writePathOfLastProcessedCrashReport(const std::string& path) const {
    const auto file = crashBookkeepingFile();
    if (!bv::XdgPaths::createPrivateDirectories(file.parent_path()))
        return;
    const std::string temporary = file.string() + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    bool ok =
        write(fd, path.data(), path.size()) == static_cast<ssize_t>(path.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), file.c_str()) != 0)
        unlink(temporary.c_str());
}

std::optional<std::string> BVLogging::getSavedPathOfLastGeneratedCrashReport() const {
    std::ifstream in(crashBookkeepingFile(), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().empty())
        return std::nullopt;
    return text.str();
}

std::optional<std::string> BVLogging::findInstallLogFile() const {
    const auto file = bv::XdgPaths::dataHome() / "Brimvault/bvinst/install-log.txt";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return std::nullopt;
    return file.string();
}

std::string BVLogging::crashReportProgramName(const std::string& name) {
    if (name == "BV" || name == "brimvault")
        return "Brimvault";
    if (name == "KHV" || name == "keelhaven")
        return "Keelhaven";
    if (name == "FE" || name == "bvfinder")
        return "BVFinderExtension";
    return name;
}
