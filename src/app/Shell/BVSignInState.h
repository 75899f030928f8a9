#pragma once

#include <atomic>
#include <optional>

// What the sign-in form and the application controller share for the life of the process:
// when the user last signed out, and whether a sign-in is under way.
struct BVSignInState {
    std::atomic<double> lastSignOut{0};  // seconds since 1970; 0 = never
    std::atomic<bool> signInUnderWay{false};
};
