#include "platform/UnhandledException.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <utility>
#include <vector>

namespace bv {
namespace {

std::mutex sinkLock;  // guards sink()
UnhandledExceptionSink& sink() {
    static auto* s = new UnhandledExceptionSink();
    return *s;
}

std::mutex observersLock;  // guards observers()
std::vector<std::pair<std::string, UncaughtExceptionObserver>>& observers() {
    static auto* o = new std::vector<std::pair<std::string, UncaughtExceptionObserver>>();
    return *o;
}

void defaultSink(const char* where, std::exception_ptr error) {
    std::string line = std::string("Unhandled exception in ") + (where ? where : "?") + ": " +
                       describeException(error) + "\n";
    std::fputs(line.c_str(), stderr);
}

std::atomic<bool> terminating{false};
// The handler in place before ours (the runtime's, which prints the exception to stderr).
std::terminate_handler previousTerminate = nullptr;

[[noreturn]] void terminateHandler() {
    // A second terminate (an observer failing, or another thread) must not run them again.
    if (terminating.exchange(true))
        std::abort();
    std::exception_ptr error = std::current_exception();
    std::vector<std::pair<std::string, UncaughtExceptionObserver>> copy;
    {
        std::unique_lock<std::mutex> lock(observersLock, std::try_to_lock);
        if (lock.owns_lock())
            copy = observers();
    }
    for (auto& entry : copy) {
        try {
            entry.second(error);
        } catch (...) {
        }
    }
    if (previousTerminate)
        previousTerminate();
    std::abort();
}

}  // namespace

void reportUnhandledException(const char* where, std::exception_ptr error) noexcept {
    try {
        UnhandledExceptionSink current;
        {
            std::lock_guard<std::mutex> lock(sinkLock);
            current = sink();
        }
        if (current)
            current(where, error);
        else
            defaultSink(where, error);
    } catch (...) {
    }
}

UnhandledExceptionSink setUnhandledExceptionSink(UnhandledExceptionSink newSink) {
    std::lock_guard<std::mutex> lock(sinkLock);
    return std::exchange(sink(), std::move(newSink));
}

std::string describeException(std::exception_ptr error) {
    if (!error)
        return "no exception";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "non-standard exception of type " + exceptionTypeName(error);
    }
}

std::string exceptionTypeName(std::exception_ptr error) {
    if (!error)
        return "unknown";
    const std::type_info* type = nullptr;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        type = abi::__cxa_current_exception_type();
    }
    if (!type)
        return "unknown";
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type->name());
}

void setUncaughtExceptionObserver(const std::string& key, UncaughtExceptionObserver observer) {
    static std::once_flag installed;
    std::call_once(installed, [] { previousTerminate = std::set_terminate(terminateHandler); });
    std::lock_guard<std::mutex> lock(observersLock);
    auto& list = observers();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->first != key)
            continue;
        if (observer)
            it->second = std::move(observer);
        else
            list.erase(it);
        return;
    }
    if (observer)
        list.emplace_back(key, std::move(observer));
}

}  // namespace bv
