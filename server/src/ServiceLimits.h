#pragma once

#include <cstdint>

namespace bvserver {

// How long sessions, codes and uploads live, and how much one account may hold open. The
// defaults are what the service runs with; the command line can change each of them.
struct ServiceLimits {
    int64_t sessionIdleSeconds = 7 * 24 * 3600;  // a session unused this long ends
    int64_t codeSeconds = 10 * 60;               // a two-factor code is void after this
    int64_t codeAttempts = 5;                    // wrong entries that void a code
    int64_t codesPerSession = 5;                 // codes one sign-in may ask for
    int64_t uploadIdleSeconds = 24 * 3600;       // an open upload without a chunk this long ends
    // Off only for benchmarks of a client: its costs then show without the service's disk.
    bool syncContents = true;
    int64_t openUploadsPerAccount = 100;
};

}  // namespace bvserver
