#include "platform/CrashReporter.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/UnhandledException.h"
#include "platform/XdgPaths.h"

namespace bv {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kPathMax = 4096;
constexpr int kMaxFrames = 128;

// Fixed at install so the signal handler needs neither the heap nor the environment.
char reportFolderPath[kPathMax];
char programName[256];
long utcOffsetSeconds = 0;
alignas(16) char alternateStack[256 * 1024];

// 0: no report yet, 1: a report is being written, 2: written.
std::atomic<int> reportState{0};

// A fixed buffer filled with async-signal-safe appends.
class Text {
  public:
    Text& add(const char* s) {
        while (s && *s && length_ + 1 < sizeof buffer_)
            buffer_[length_++] = *s++;
        buffer_[length_] = '\0';
        return *this;
    }
    Text& number(unsigned long value, int base = 10, int minDigits = 1) {
        char digits[32];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value && n < 32);
        while (n < minDigits && n < 32)
            digits[n++] = '0';
        char reversed[33];
        for (int i = 0; i < n; ++i)
            reversed[i] = digits[n - 1 - i];
        reversed[n] = '\0';
        return add(reversed);
    }
    const char* c_str() const { return buffer_; }
    size_t size() const { return length_; }

  private:
    char buffer_[kPathMax + 512] = {};
    size_t length_ = 0;
};

// Local calendar time without localtime() (which takes locks): days-to-civil conversion
// of the UTC offset taken at install.
void appendStamp(Text& text, bool forFileName) {
    long long t = static_cast<long long>(time(nullptr)) + utcOffsetSeconds;
    long long days = t / 86400;
    long long rest = t % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2);
    text.number(static_cast<unsigned long>(year), 10, 4).add("-").number(month, 10, 2);
    text.add("-").number(day, 10, 2).add(forFileName ? "-" : " ");
    text.number(rest / 3600, 10, 2).add(forFileName ? "" : ":");
    text.number(rest / 60 % 60, 10, 2).add(forFileName ? "" : ":");
    text.number(rest % 60, 10, 2);
}

void writeAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

int createReportFile() {
    if (reportFolderPath[0] == '\0')
        return -1;
    Text stem;
    stem.add(reportFolderPath).add("/").add(programName).add("_");
    appendStamp(stem, true);
    for (int attempt = 1; attempt < 100; ++attempt) {
        Text name;
        name.add(stem.c_str());
        if (attempt > 1)
            name.add("-").number(attempt);
        name.add(".crash");
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// reasonParts are joined without separators.
void writeReport(const char* reason1, const char* reason2 = nullptr,
                 const char* reason3 = nullptr) {
    int fd = createReportFile();
    if (fd < 0)
        return;
    Text head;
    head.add("Program: ").add(programName).add("\nProcess: ").number(getpid());
    head.add("\nDate: ");
    appendStamp(head, false);
    head.add("\nReason: ").add(reason1).add(reason2).add(reason3).add("\n\nBacktrace:\n");
    writeAll(fd, head.c_str(), head.size());
    void* frames[kMaxFrames];
    int count = backtrace(frames, kMaxFrames);
    backtrace_symbols_fd(frames, count, fd);
    fsync(fd);
    close(fd);
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

void onFatalSignal(int sig, siginfo_t* info, void*) {
    int expected = 0;
    if (reportState.compare_exchange_strong(expected, 1)) {
        Text reason;
        reason.add(signalName(sig)).add(" (signal ").number(static_cast<unsigned>(sig)).add(")");
        if (sig != SIGABRT && info)
            reason.add(", fault address 0x")
                .number(reinterpret_cast<unsigned long>(info->si_addr), 16);
        writeReport(reason.c_str());
        reportState.store(2);
    } else {
        // Another thread is writing the report: give it time to finish before dying.
        for (int i = 0; i < 200 && reportState.load() == 1; ++i) {
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    // Delivered when the handler returns; a fault instead repeats and now kills.
    raise(sig);
}

void onUncaughtException(std::exception_ptr error) {
    int expected = 0;
    if (!reportState.compare_exchange_strong(expected, 1))
        return;
    if (error) {
        const std::string type = exceptionTypeName(error);
        const std::string what = describeException(error);
        writeReport("uncaught exception of type ", type.c_str(), (": " + what).c_str());
    } else {
        writeReport("std::terminate called without an exception");
    }
    reportState.store(2);
}

}  // namespace

std::filesystem::path CrashReporter::reportFolder() {
    return XdgPaths::stateHome() / "Brimvault/DiagnosticReports";
}

bool CrashReporter::install(const std::string& program) {
    const auto folder = reportFolder();
    const bool ready =
        XdgPaths::createPrivateDirectories(folder) && folder.native().size() < kPathMax;
    reportFolderPath[0] = '\0';
    if (ready)
        strncpy(reportFolderPath, folder.c_str(), kPathMax - 1);
    strncpy(programName, program.c_str(), sizeof programName - 1);

    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local))
        utcOffsetSeconds = local.tm_gmtoff;

    // The first backtrace() loads the unwinder, which allocates: not in a signal handler.
    void* warmUp[4];
    backtrace(warmUp, 4);

    stack_t stack;
    memset(&stack, 0, sizeof stack);
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals)
        sigaction(sig, &action, nullptr);

    setUncaughtExceptionObserver("CrashReporter", onUncaughtException);
    return ready;
}

}  // namespace bv
