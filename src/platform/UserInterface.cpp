#include "platform/UserInterface.h"

#include <cstdio>

namespace bv {

namespace {

std::mutex currentLock;  // guards currentInstance
std::shared_ptr<UserInterface> currentInstance;

template <typename T>
std::optional<T> popFront(std::deque<T>& queue) {
    if (queue.empty())
        return std::nullopt;
    T value = std::move(queue.front());
    queue.pop_front();
    return value;
}

std::string joined(const std::vector<std::string>& buttons) {
    std::string text;
    for (const auto& b : buttons) {
        if (!text.empty())
            text += ", ";
        text += b;
    }
    return text;
}

}  // namespace

const char* windowKindName(WindowKind kind) {
    switch (kind) {
        case WindowKind::Properties:
            return "properties";
        case WindowKind::Sharing:
            return "sharing";
        case WindowKind::Uploads:
            return "uploads";
        case WindowKind::About:
            return "about";
        case WindowKind::Notifications:
            return "notifications";
    }
    return "unknown";
}

std::shared_ptr<UserInterface> UserInterface::current() {
    std::lock_guard lock(currentLock);
    if (!currentInstance)
        currentInstance = std::make_shared<HeadlessUserInterface>();
    return currentInstance;
}

std::shared_ptr<UserInterface> UserInterface::setCurrent(std::shared_ptr<UserInterface> ui) {
    std::lock_guard lock(currentLock);
    auto previous = std::move(currentInstance);
    currentInstance = std::move(ui);
    return previous;
}

void SuppliedAnswers::supplyAlertAnswer(int button) {
    std::lock_guard lock(answersLock_);
    alerts_.push_back(button);
}
void SuppliedAnswers::supplySignIn(SignInAnswer answer) {
    std::lock_guard lock(answersLock_);
    signIns_.push_back(std::move(answer));
}
void SuppliedAnswers::supplyTwoFactorCode(std::string code) {
    std::lock_guard lock(answersLock_);
    codes_.push_back(std::move(code));
}
void SuppliedAnswers::supplySecureFolderPassword(SecureFolderPasswordAnswer answer) {
    std::lock_guard lock(answersLock_);
    folderPasswords_.push_back(std::move(answer));
}
void SuppliedAnswers::supplyNewPassword(std::string password) {
    std::lock_guard lock(answersLock_);
    newPasswords_.push_back(std::move(password));
}
int SuppliedAnswers::takeAlertAnswer() {
    std::lock_guard lock(answersLock_);
    return popFront(alerts_).value_or(UserInterface::kAlertCancelled);
}
std::optional<SignInAnswer> SuppliedAnswers::takeSignIn() {
    std::lock_guard lock(answersLock_);
    return popFront(signIns_);
}
std::optional<std::string> SuppliedAnswers::takeTwoFactorCode() {
    std::lock_guard lock(answersLock_);
    return popFront(codes_);
}
std::optional<SecureFolderPasswordAnswer> SuppliedAnswers::takeSecureFolderPassword() {
    std::lock_guard lock(answersLock_);
    return popFront(folderPasswords_);
}
std::optional<std::string> SuppliedAnswers::takeNewPassword() {
    std::lock_guard lock(answersLock_);
    return popFront(newPasswords_);
}

HeadlessUserInterface::HeadlessUserInterface(Sink sink) : sink_(std::move(sink)) {}

void HeadlessUserInterface::write(const std::string& line) const {
    if (sink_) {
        sink_(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

int HeadlessUserInterface::alert(const std::string& message, const std::string& informativeText,
                                 const std::vector<std::string>& buttons) {
    write("Alert: " + message + (informativeText.empty() ? "" : "\n" + informativeText) + " [" +
          joined(buttons) + "]");
    return takeAlertAnswer();
}

std::optional<SignInAnswer> HeadlessUserInterface::promptSignIn(const std::string& message) {
    write("Sign-in requested" + (message.empty() ? "" : ": " + message));
    return takeSignIn();
}

std::optional<std::string> HeadlessUserInterface::promptTwoFactorCode(const std::string& message) {
    write("Two-factor code requested" + (message.empty() ? "" : ": " + message));
    return takeTwoFactorCode();
}

std::optional<SecureFolderPasswordAnswer> HeadlessUserInterface::promptSecureFolderPassword(
    const std::string& folderPath) {
    write("Secure folder password requested for " + folderPath);
    return takeSecureFolderPassword();
}

std::optional<std::string> HeadlessUserInterface::promptNewPassword(const std::string& message) {
    write("New password requested" + (message.empty() ? "" : ": " + message));
    return takeNewPassword();
}

void HeadlessUserInterface::show(WindowKind kind, const nlohmann::json& payload) {
    write(std::string("Window ") + windowKindName(kind) +
          (payload.is_null() ? "" : ": " + payload.dump()));
}

void ScriptedUserInterface::record(Call call) {
    std::lock_guard lock(callsLock_);
    calls_.push_back(std::move(call));
}

std::vector<ScriptedUserInterface::Call> ScriptedUserInterface::calls() const {
    std::lock_guard lock(callsLock_);
    return calls_;
}

void ScriptedUserInterface::clearCalls() {
    std::lock_guard lock(callsLock_);
    calls_.clear();
}

int ScriptedUserInterface::alert(const std::string& message, const std::string& informativeText,
                                 const std::vector<std::string>& buttons) {
    record({"alert", message, {{"informativeText", informativeText}, {"buttons", buttons}}});
    return takeAlertAnswer();
}

std::optional<SignInAnswer> ScriptedUserInterface::promptSignIn(const std::string& message) {
    record({"signIn", message, nullptr});
    return takeSignIn();
}

std::optional<std::string> ScriptedUserInterface::promptTwoFactorCode(const std::string& message) {
    record({"twoFactor", message, nullptr});
    return takeTwoFactorCode();
}

std::optional<SecureFolderPasswordAnswer> ScriptedUserInterface::promptSecureFolderPassword(
    const std::string& folderPath) {
    record({"secureFolderPassword", folderPath, nullptr});
    return takeSecureFolderPassword();
}

std::optional<std::string> ScriptedUserInterface::promptNewPassword(const std::string& message) {
    record({"newPassword", message, nullptr});
    return takeNewPassword();
}

void ScriptedUserInterface::show(WindowKind kind, const nlohmann::json& payload) {
    record({"show", windowKindName(kind), payload});
}

}  // namespace bv
