#pragma once

#include <string>

// What the transport and the client read from the preference store on every request: the
// base URL and CA file overrides and the diagnostic switches. Read once per change of the
// store and kept per thread, so a request takes no process-wide lock to learn them.
struct BVNetworkSettings {
    std::string apiBaseURL;  // empty when the store names none
    std::string caFile;
    bool logCallStacks = false;     // debug option "al_callstack"
    bool logNormalAnswers = false;  // debug option "al_enabled"

    // The settings as the standard store holds them now. Valid on the calling thread until
    // its next call.
    static const BVNetworkSettings& current();
};
