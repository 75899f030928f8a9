#pragma once

#include <string>

#include "platform/Error.h"

// The volume's one translation of the program's errors: into the errno the kernel hands to
// programs, and into what the user is shown.
class BVDriveFSErrors {
  public:
    static constexpr const char* kPosixDomain = "NSPOSIXErrorDomain";
    // The refusal of names that begin with a blank (and other client-side refusals).
    static constexpr int64_t kErrorClientRefusal = 1000;
    static constexpr size_t kMaxNameBytes = 255;

    // The errno for an error (an unset error gives EIO). POSIX errors keep their code.
    static int posixCodeFor(const bv::Error& error);
    static bv::Error posixError(int code) { return bv::Error(kPosixDomain, code); }

    // What the user is shown for an error, and under which name (empty: none).
    struct Display {
        bv::Error error;
        std::string name;
    };
    static Display displayFor(const bv::Error& error);
};
