#include "DriveFS/BVDriveFSErrors.h"

#include <cerrno>

namespace {

constexpr int64_t kNotFound = -1000;
constexpr int64_t kFolderExists = -999;
constexpr int64_t kSharedUserNotFound = -998;
constexpr int64_t kServerError = -197;
constexpr int64_t kNetworkError = -200;
constexpr int64_t kNoSession = -199;
constexpr int64_t kSharingWithoutIds = -198;
constexpr int64_t kMissingSecureKey = -1003;
constexpr int64_t kServiceBadRequest = 400;

// Programs decide on these (cp, mkdir -p, editors, shells); everything else is EIO.
struct Mapping {
    int64_t code;
    int posix;
};
constexpr Mapping kPosixTable[] = {
    {kNotFound, ENOENT},
    {kFolderExists, EEXIST},
    {BVDriveFSErrors::kErrorClientRefusal, EPERM},
};

bv::Error displayError(const std::string& description, int64_t code) {
    return bv::Error("NSError", code, {{bv::kLocalizedDescriptionKey, description}});
}

}  // namespace

int BVDriveFSErrors::posixCodeFor(const bv::Error& error) {
    if (!error)
        return EIO;
    if (error.domain() == kPosixDomain)
        return error.code() > 0 ? static_cast<int>(error.code()) : EIO;
    if (error.code() == kServerError && error.integerInfo(bv::kServerCodeKey) == kServiceBadRequest)
        return EINVAL;
    for (const auto& mapping : kPosixTable)
        if (mapping.code == error.code())
            return mapping.posix;
    return EIO;
}

BVDriveFSErrors::Display BVDriveFSErrors::displayFor(const bv::Error& error) {
    switch (error.code()) {
        case kErrorClientRefusal:
        case kNoSession:
        case kSharingWithoutIds:
            return {displayError(error.failureReason(), kErrorClientRefusal), ""};
        case kMissingSecureKey:
            return {displayError(
                        "Secure folder ID required. Please go to secure folder using Finder.", 502),
                    ""};
        case kNotFound:
        case kSharedUserNotFound:
            return {displayError("Item not found", 501), ""};
        case kNetworkError:
            return {error, "Network error"};
        case kServerError:
            return {error, "Server error"};
        default:
            return {error, ""};
    }
}
