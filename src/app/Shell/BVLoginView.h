#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/Shell/BVShellScheduler.h"
#include "app/Shell/BVSignInService.h"
#include "app/Shell/BVSignInState.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

namespace bv {
class Preferences;
class SecretStore;
class UserInterface;
}  // namespace bv

// Told the outcome of a sign-in; called on the main thread.
class BVLoginViewDelegate {
  public:
    virtual ~BVLoginViewDelegate() = default;
    virtual void setUploadSpeedLimit(int64_t limit) = 0;
    virtual void loginAutoSuccess(bool automatic, std::shared_ptr<BVUserSessionItem> session) = 0;
    virtual void loginAutoFailed(bool automatic, const bv::Error& error) = 0;
    // The automatic sign-in's two-factor step was cancelled: the program ends with status.
    virtual void terminateApplication(int status) = 0;
};

// The sign-in form: its remembered values, the interactive and the automatic sign-in. The
// form is the UserInterface's sign-in prompt. Runs on the main thread; the calls that wait
// for the service or the user run through the scheduler's background work.
class BVLoginView {
  public:
    static constexpr const char* kKeychainService = "BrimvaultAutoLogin";
    static constexpr double kSignOutPause = 10;
    static constexpr double kAutoLoginRetry = 15;
    // A cancelled code window of an interactive sign-in ends the sign-in with this code.
    static constexpr int64_t kErrorCancelled = 1000;

    struct Options {
        std::shared_ptr<BVShellScheduler> scheduler;
        std::shared_ptr<BVSignInService> service;
        std::shared_ptr<bv::UserInterface> ui;
        std::shared_ptr<BVSignInState> state;
        bv::Preferences* preferences = nullptr;    // the standard store when null
        std::shared_ptr<bv::SecretStore> secrets;  // the current store when null
    };

    explicit BVLoginView(Options options);

    void setDelegate(BVLoginViewDelegate* delegate) { delegate_ = delegate; }

    // Form set-up: "bvuser", "savePswd", "autoLogin" and, when remembered, the password.
    void readStoredValues();
    // The check boxes, with their coupling.
    void setSavePassword(bool on);
    void setAutoLogin(bool on);
    // Shows the form; its answer fills the fields and signs in, a cancel is doCancel().
    void showForm(const std::string& message = {});
    // The form's fields as the user filled them (check-box coupling applied).
    void fill(const bv::SignInAnswer& answer);
    void doLogin();
    void doAutologin();
    // Closes the form; without "savePswd" the user's stored password goes.
    void doCancel();

    void pushIntoSavedEmails(const std::string& name);
    std::vector<std::string> listOfSavedEmails() const;
    // Choosing a saved name fills the password from the keychain, or clears it.
    void comboBoxSelectionDidChange(const std::string& name);

    std::string username;
    std::string password;
    bool savePswd = false;
    bool autLogin = false;

  private:
    struct Outcome {
        std::shared_ptr<BVUserSessionItem> session;
        bv::Error error;
        int64_t speedLimit = 0;
        bool cancelledSecondFactor = false;
    };
    // Authentication and the two-factor step; runs off the main thread.
    // pauseDone: the wait after a sign-out is over.
    void doLogin(bool pauseDone);
    Outcome authenticate(const std::string& user, const std::string& pw, bool automatic);
    void finishInteractive(Outcome outcome, std::string user, std::string pw, bool save);
    void finishAutomatic(Outcome outcome);
    bv::Preferences& prefs() const;
    bv::SecretStore& secrets() const;

    Options options_;
    BVLoginViewDelegate* delegate_ = nullptr;
};
