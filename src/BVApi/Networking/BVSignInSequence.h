#pragma once

#include <memory>
#include <string>

#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "platform/Error.h"

class BVApiClient;

// The user's side of a two-factor sign-in (the two-factor window, or a test).
class BVTwoFactorPrompt {
  public:
    enum class Choice { EnterCode, SendTextMessage, Cancel };
    struct Answer {
        Choice choice = Choice::Cancel;
        std::string code;  // EnterCode
    };
    virtual ~BVTwoFactorPrompt() = default;
    // Asked until a code verifies or the user cancels. lastError: why the previous
    // answer did not help (empty at first).
    virtual Answer askForSecondFactor(const bv::Error& lastError) = 0;
};

// The calling order of a sign-in: authenticate; the second factor when the session asks
// for one ("Active2FA" = "1"); the upload speed limit. The caller hands a successful
// result to the application controller, or shows the error.
class BVSignInSequence {
  public:
    struct Result {
        std::shared_ptr<BVUserSessionItem> session;  // null when the sign-in failed
        std::shared_ptr<BVApiClientAuthContext> context;
        bv::Error error;
    };

    // Code 1000: the user gave up at the second factor.
    static constexpr int64_t kErrorCancelled = 1000;

    static Result signIn(BVApiClient& client, const std::string& username,
                         const std::string& password, BVTwoFactorPrompt* prompt);
    // Whether the session asks for a second factor.
    static bool needsSecondFactor(const BVUserSessionItem& session);
};
