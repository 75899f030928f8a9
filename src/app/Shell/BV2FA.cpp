#include "app/Shell/BV2FA.h"

#include "platform/UserInterface.h"

BV2FA::BV2FA(BVSignInService& service, std::shared_ptr<bv::UserInterface> ui,
             std::shared_ptr<BVUserSessionItem> session)
    : service_(service), ui_(std::move(ui)), session_(std::move(session)) {}

void BV2FA::alert(const std::string& text) {
    ui_->alert(text, "", {"OK"});
}

bool BV2FA::runModal() {
    std::string message = "Enter the 7-digit code sent to you (or \"sms\" to get one by text).";
    for (;;) {
        auto answer = ui_->promptTwoFactorCode(
            tokenSentLabelMessage.empty() ? message : tokenSentLabelMessage);
        if (!answer) {
            cancel();
            return false;
        }
        if (*answer == kSendTextMessageAnswer) {
            requestTokenViaSMS();
            continue;
        }
        if (verifyToken(*answer))
            return true;
    }
}

bool BV2FA::verifyToken(const std::string& token) {
    if (token.size() != kTokenLength) {
        alert(kWrongLength);
        return false;
    }
    bv::Error error;
    if (service_.verifyToken(*session_, token, &error))
        return true;
    auto description = error ? error.localizedDescription() : std::string();
    if (description.find("Token is invalid") != std::string::npos)
        alert(kInvalidToken);
    else
        alert(description.empty() ? "Error." : description);
    return false;
}

void BV2FA::requestTokenViaSMS() {
    bv::Error error;
    if (!service_.sendToken(*session_, &error))
        alert(error.localizedDescription());
    else
        tokenSentLabelMessage = "A code was sent to you by text message.";
}
