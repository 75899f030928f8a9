#include "app/Shell/BVLoginView.h"

#include <algorithm>

#include "BVApi/Networking/BVSignInSequence.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/BV2FA.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "platform/UserInterface.h"

BVLoginView::BVLoginView(Options options) : options_(std::move(options)) {
    if (!options_.ui)
        options_.ui = bv::UserInterface::current();
    if (!options_.state)
        options_.state = std::make_shared<BVSignInState>();
}

bv::Preferences& BVLoginView::prefs() const {
    return options_.preferences ? *options_.preferences : bv::Preferences::standard();
}

bv::SecretStore& BVLoginView::secrets() const {
    return options_.secrets ? *options_.secrets : *bv::SecretStore::current();
}

void BVLoginView::readStoredValues() {
    username = prefs().stringForKey("bvuser");
    savePswd = prefs().boolForKey("savePswd");
    autLogin = prefs().boolForKey("autoLogin");
    password.clear();
    if (savePswd && !username.empty())
        password = secrets().find(kKeychainService, username).value_or("");
}

void BVLoginView::setSavePassword(bool on) {
    savePswd = on;
    if (!on)
        autLogin = false;
}

void BVLoginView::setAutoLogin(bool on) {
    autLogin = on;
    if (on)
        savePswd = true;
}

void BVLoginView::showForm(const std::string& message) {
    // The form waits for the user, so it is asked off the main thread.
    auto scheduler = options_.scheduler;
    scheduler->inBackground([this, scheduler, message] {
        auto answer = options_.ui->promptSignIn(message);
        scheduler->onMain([this, answer = std::move(answer)] {
            if (!answer) {
                doCancel();
                return;
            }
            fill(*answer);
            doLogin();
        });
    });
}

void BVLoginView::fill(const bv::SignInAnswer& answer) {
    username = answer.username;
    password = answer.password;
    setSavePassword(answer.savePassword);
    if (answer.autoLogin)
        setAutoLogin(true);
    else
        autLogin = false;
}

void BVLoginView::doCancel() {
    options_.state->signInUnderWay = false;
    if (!savePswd && !username.empty())
        secrets().remove(kKeychainService, username);
}

void BVLoginView::pushIntoSavedEmails(const std::string& name) {
    auto list = listOfSavedEmails();
    if (std::find(list.begin(), list.end(), name) != list.end())
        return;
    list.push_back(name);
    prefs().setObject("savedEmails", list);
}

std::vector<std::string> BVLoginView::listOfSavedEmails() const {
    std::vector<std::string> names;
    auto stored = prefs().objectForKey("savedEmails");
    if (stored.is_array())
        for (const auto& name : stored)
            if (name.is_string())
                names.push_back(name.get<std::string>());
    return names;
}

void BVLoginView::comboBoxSelectionDidChange(const std::string& name) {
    username = name;
    password = secrets().find(kKeychainService, name).value_or("");
}

BVLoginView::Outcome BVLoginView::authenticate(const std::string& user, const std::string& pw,
                                               bool automatic) {
    Outcome outcome;
    auto session = options_.service->authenticate(user, pw, &outcome.error);
    if (!session) {
        if (!outcome.error)
            outcome.error = bv::Error::make(-200, "The sign-in failed.");
        return outcome;
    }
    if (BVSignInSequence::needsSecondFactor(*session)) {
        BV2FA window(*options_.service, options_.ui, session);
        if (!window.runModal()) {
            outcome.cancelledSecondFactor = true;
            // Never leave a half-open session behind at the service.
            bv::Error ignored;
            options_.service->logout(session, &ignored);
            outcome.error = bv::Error::make(kErrorCancelled, "The sign-in was cancelled.");
            (void)automatic;
            return outcome;
        }
    }
    bv::Error limitError;
    outcome.speedLimit = options_.service->uploadSpeedLimit(session, &limitError);
    outcome.session = std::move(session);
    return outcome;
}

void BVLoginView::doLogin() {
    doLogin(false);
}

void BVLoginView::doLogin(bool pauseDone) {
    auto& state = *options_.state;
    state.signInUnderWay = true;
    double now = options_.scheduler->clock()->now();
    double lastSignOut = state.lastSignOut;
    if (!pauseDone && lastSignOut > 0 && now - lastSignOut <= kSignOutPause) {
        options_.scheduler->after(lastSignOut + kSignOutPause - now, [this] { doLogin(true); });
        return;
    }
    if (username.empty() || password.empty()) {
        showForm("Enter your user name and password.");
        return;
    }
    prefs().setObject("bvuser", username);
    prefs().setBool("savePswd", savePswd);
    prefs().setBool("autoLogin", autLogin);
    auto scheduler = options_.scheduler;
    options_.scheduler->inBackground(
        [this, scheduler, user = username, pw = password, save = savePswd] {
            auto outcome = authenticate(user, pw, false);
            scheduler->onMain([this, outcome = std::move(outcome), user, pw, save]() mutable {
                finishInteractive(std::move(outcome), user, pw, save);
            });
        });
}

void BVLoginView::finishInteractive(Outcome outcome, std::string user, std::string pw, bool save) {
    if (outcome.session && save) {
        secrets().save(kKeychainService, user, pw);
        pushIntoSavedEmails(user);
    } else if (!save) {
        secrets().remove(kKeychainService, user);
    }
    if (outcome.session) {
        if (delegate_) {
            delegate_->setUploadSpeedLimit(outcome.speedLimit);
            delegate_->loginAutoSuccess(false, outcome.session);
        }
        BVLog("Upload speed limit: %lld", static_cast<long long>(outcome.speedLimit));
        return;
    }
    if (delegate_)
        delegate_->loginAutoFailed(false, outcome.error);
    options_.state->signInUnderWay = false;
}

void BVLoginView::doAutologin() {
    if (options_.state->signInUnderWay) {
        BVLog("Autologin cancelled: user triggered login window");
        return;
    }
    BVLog("Performing autologin...");
    readStoredValues();
    auto scheduler = options_.scheduler;
    options_.scheduler->inBackground([this, scheduler, user = username, pw = password] {
        auto outcome = authenticate(user, pw, true);
        scheduler->onMain([this, outcome = std::move(outcome)]() mutable {
            finishAutomatic(std::move(outcome));
        });
    });
}

void BVLoginView::finishAutomatic(Outcome outcome) {
    if (outcome.cancelledSecondFactor) {
        if (delegate_)
            delegate_->terminateApplication(1);
        return;
    }
    if (outcome.session) {
        if (delegate_)
            delegate_->setUploadSpeedLimit(outcome.speedLimit);
        BVLog("Upload speed limit: %lld", static_cast<long long>(outcome.speedLimit));
        if (delegate_)
            delegate_->loginAutoSuccess(true, outcome.session);
        return;
    }
    BVLog("Autologin failed with %@", outcome.error);
    if (delegate_)
        delegate_->loginAutoFailed(true, outcome.error);
    options_.state->signInUnderWay = false;
    if (outcome.error.code() != -197)
        options_.scheduler->after(kAutoLoginRetry, [this] { doAutologin(); });
}
