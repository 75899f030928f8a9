#pragma once

#include <memory>
#include <string>

#include "app/Shell/BVSignInService.h"

namespace bv {
class UserInterface;
}

// The two-factor window: asks for the code until one verifies or the user cancels. The
// window is the UserInterface's code prompt; the answer "sms" asks the service to send a
// code by text message.
class BV2FA {
  public:
    static constexpr size_t kTokenLength = 7;
    static constexpr const char* kWrongLength = "Please enter 7-digits token to continue.";
    static constexpr const char* kInvalidToken = "The token is invalid.";
    static constexpr const char* kSendTextMessageAnswer = "sms";

    BV2FA(BVSignInService& service, std::shared_ptr<bv::UserInterface> ui,
          std::shared_ptr<BVUserSessionItem> session);

    // The modal run: returns when the window closed. True when a code verified.
    bool runModal();
    // False (and an alert) when the code is refused; the window stays then.
    bool verifyToken(const std::string& token);
    void requestTokenViaSMS();
    void cancel() { wasCancelled = true; }

    bool wasCancelled = false;
    std::string tokenSentLabelMessage;

  private:
    void alert(const std::string& text);

    BVSignInService& service_;
    std::shared_ptr<bv::UserInterface> ui_;
    std::shared_ptr<BVUserSessionItem> session_;  // the context's session
};
