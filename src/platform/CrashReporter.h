#pragma once

#include <filesystem>
#include <string>

namespace bv {

// Writes a crash report when the program dies of a fatal signal (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT) or of an exception nobody caught: the file
// "<programName>_<yyyy-MM-dd-HHmmss>.crash" (local time; "-2", "-3", ... before ".crash"
// when that name is taken) in reportFolder(), holding the reason (the signal, or the
// exception's type and what()) and a backtrace. The program then dies the way it would
// have without the reporter. The signal path only uses async-signal-safe calls; the
// folder and the name are fixed at install. The alternate signal stack (so a stack
// overflow can still be reported) is set up for the installing thread.
class CrashReporter {
  public:
    // Answers false when the report folder cannot be created; handlers are installed anyway
    // and then write nothing. May be called again (the later name wins).
    static bool install(const std::string& programName);
    // $XDG_STATE_HOME/Brimvault/DiagnosticReports.
    static std::filesystem::path reportFolder();
};

}  // namespace bv
