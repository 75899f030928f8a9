#include "BVApi/Networking/BVSignInSequence.h"

#include "BVApi/Networking/BVApiClient.h"
#include "app/Logging/BVLogging.h"

bool BVSignInSequence::needsSecondFactor(const BVUserSessionItem& session) {
    // The service has sent both the text "1" and the number 1.
    const auto& flag = session.active2FA;
    return (flag.is_string() && flag.get<std::string>() == "1") ||
           (flag.is_number_integer() && flag.get<int64_t>() == 1);
}

namespace {

// Runs the prompt until a code verifies; false when the user cancels (error set).
bool passSecondFactor(BVApiClient& client, const BVUserSessionItem& session,
                      BVTwoFactorPrompt* prompt, bv::Error* error) {
    bv::Error last;
    while (prompt) {
        auto answer = prompt->askForSecondFactor(last);
        last = bv::Error();
        switch (answer.choice) {
            case BVTwoFactorPrompt::Choice::SendTextMessage:
                client.sendToken(session, &last);
                break;
            case BVTwoFactorPrompt::Choice::EnterCode:
                if (client.verifyToken(session, answer.code, &last))
                    return true;
                break;
            case BVTwoFactorPrompt::Choice::Cancel:
                prompt = nullptr;
                break;
        }
    }
    *error = bv::Error::make(BVSignInSequence::kErrorCancelled, "Two-factor sign-in cancelled.");
    return false;
}

}  // namespace

BVSignInSequence::Result BVSignInSequence::signIn(BVApiClient& client, const std::string& username,
                                                  const std::string& password,
                                                  BVTwoFactorPrompt* prompt) {
    Result result;
    auto session = client.authenticateUserSessionWithUsername(username, password, &result.error);
    if (!session) {
        if (!result.error)
            BVApiClient::fillNetworkError(&result.error);
        BVLog("login failed: %@", result.error);
        return result;
    }
    result.context = std::make_shared<BVApiClientAuthContext>(session);
    if (needsSecondFactor(*session) && !passSecondFactor(client, *session, prompt, &result.error)) {
        BVLog("login failed: %@", result.error);
        return result;
    }
    bv::Error limitError;
    client.getUploadSpeedLimit(session, &limitError);
    result.error = bv::Error();
    result.session = std::move(session);
    return result;
}
