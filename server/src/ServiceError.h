#pragma once

#include <stdexcept>
#include <string>

namespace bvserver {

// A refusal that the service answers as {"error":{"code":N,"message":"..."}}. Handlers throw
// it; the router turns it into the answer, so no handler builds error bodies itself.
class ServiceError : public std::runtime_error {
  public:
    ServiceError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Error codes used by the service (they double as the HTTP status of the answer).
enum ServiceCode : int {
    kBadRequest = 400,
    kUnauthorized = 401,
    kForbidden = 403,
    kNotFound = 404,
    kConflict = 409,
    kTooLarge = 413,
    kTooManyRequests = 429,
    kInternal = 500,
    kBusy = 503,
    kStorageFull = 507,
};

// The texts that clients compare against; keep them byte for byte.
namespace msg {
inline constexpr const char* kFolderBusy = "Folder is busy";
inline constexpr const char* kAlreadyProcessing =
    "This file is already being processed. Please wait until previous upload operation will be "
    "finished.";
inline constexpr const char* kFileExists = "File with such a name already exists.";
inline constexpr const char* kNameTaken = "File or folder with such name already exists";
inline constexpr const char* kParentTrashed = "Parent folder is trashed";
inline constexpr const char* kTokenInvalid = "Token is invalid";
inline constexpr const char* kKeyNotSet =
    "List subdir failed. Folder requires encryption key to be set";
inline constexpr const char* kNeedsAuth = "Folder requires encryption authentication";
inline constexpr const char* kInvalidSession = "Invalid session";
inline constexpr const char* kTwoFactorPending = "Two-factor verification required";
inline constexpr const char* kStorageFull = "Not enough storage space for this upload";
}  // namespace msg

}  // namespace bvserver
