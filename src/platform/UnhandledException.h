#pragma once

#include <exception>
#include <functional>
#include <string>

namespace bv {

// Where exceptions caught at a boundary (a run-loop task, a queue operation, a callback)
// are reported, so they are not silently lost. The default sink writes one line to stderr.
using UnhandledExceptionSink = std::function<void(const char* where, std::exception_ptr error)>;

// Never throws; a sink that throws is ignored.
void reportUnhandledException(const char* where, std::exception_ptr error) noexcept;
// Installs sink (an empty function restores the default) and answers the previous one.
UnhandledExceptionSink setUnhandledExceptionSink(UnhandledExceptionSink sink);

// "what()" of a std::exception, else a short fixed text.
std::string describeException(std::exception_ptr error);
// The demangled dynamic type of the exception, or "unknown".
std::string exceptionTypeName(std::exception_ptr error);

// Observers of an exception that nobody caught: the terminate handler calls each of them,
// in the order they were first set, with the exception (null when terminate was called
// without one), then hands over to the terminate handler that was in place before (the
// runtime's prints the exception to stderr), which aborts. Setting an observer installs the
// handler; an empty function removes the observer stored under key.
using UncaughtExceptionObserver = std::function<void(std::exception_ptr error)>;
void setUncaughtExceptionObserver(const std::string& key, UncaughtExceptionObserver observer);

}  // namespace bv
