#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What is kept of one finished exchange for the failure log: a few texts and times,
// immutable once made, so any thread may read it while the request itself is resent
// (with its body of up to 20 MiB) or gone. Secrets are masked before they get here.
struct BVApiExchangeSummary {
    std::string uid;
    std::string method;
    std::string endpoint;
    // The endpoint resolved against the request's host.
    std::string url;
    // The masked parameter text of the request's log record.
    std::string parameters;
    std::optional<double> startTime;
    std::optional<double> endTime;
    // The masked answer as logged ("null" when none), cut to kMaxResponseText bytes.
    std::string response;
    // How the client classified the answer.
    int64_t status = 0;

    static constexpr size_t kMaxResponseText = 2048;

    // The request record: "%@ request #%@ with endpoint \"%@\", params %@}", followed by the
    // call stack when the debug option "al_callstack" is on.
    void logRequest() const;
};
