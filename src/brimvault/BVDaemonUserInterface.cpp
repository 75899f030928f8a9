#include "brimvault/BVDaemonUserInterface.h"

#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

void BVDaemonUserInterface::setListener(Listener listener) {
    std::lock_guard lock(promptsLock_);
    listener_ = std::move(listener);
}

void BVDaemonUserInterface::setNotifier(Notifier notifier) {
    std::lock_guard lock(promptsLock_);
    notifier_ = std::move(notifier);
}

std::string BVDaemonUserInterface::answerCommand(const std::string& kind) {
    if (kind == "signIn" || kind == "twoFactor")
        return "brimvault login";
    // The only choice asked off the main thread: whether to retry the update's download.
    if (kind == "choice")
        return "brimvault update";
    return "brimvault unlock";
}

void BVDaemonUserInterface::notify(const std::string& title, const std::string& body) {
    Notifier notifier;
    {
        std::lock_guard lock(promptsLock_);
        notifier = notifier_;
    }
    if (notifier)
        notifier(title, body);
}

void BVDaemonUserInterface::tell(const nlohmann::json& event) {
    Listener listener;
    {
        std::lock_guard lock(promptsLock_);
        listener = listener_;
    }
    if (listener)
        listener(event);
}

int BVDaemonUserInterface::alert(const std::string& message, const std::string& informativeText,
                                 const std::vector<std::string>& buttons) {
    if (buttons.size() > 1 && !bv::RunLoop::isMainThread()) {
        auto value = ask(
            "choice", informativeText.empty() ? message : message + " " + informativeText, buttons);
        if (!value || !value->is_number_integer())
            return kAlertCancelled;
        const auto chosen = value->get<int64_t>();
        return chosen >= 0 && chosen < static_cast<int64_t>(buttons.size())
                   ? static_cast<int>(chosen)
                   : kAlertCancelled;
    }
    BVLog("ALERT: %@ %@", message, informativeText);
    tell({{"event", "alert"}, {"message", message}, {"informative", informativeText}});
    notify(message, informativeText);
    return buttons.empty() ? kAlertCancelled : 0;
}

std::optional<nlohmann::json> BVDaemonUserInterface::ask(const std::string& kind,
                                                         const std::string& message,
                                                         const std::vector<std::string>& buttons) {
    int id;
    {
        std::lock_guard lock(promptsLock_);
        if (closed_)
            return std::nullopt;
        id = nextId_++;
        pending_[id] = {id, kind, message, buttons};
    }
    const std::string command = answerCommand(kind);
    BVLog("Waiting for an answer to %@ (%@)", kind, command);
    tell({{"event", "prompt"},
          {"id", id},
          {"kind", kind},
          {"message", message},
          {"buttons", buttons}});
    notify("Brimvault is waiting for you", message + "\nAnswer with: " + command);
    std::unique_lock lock(promptsLock_);
    answered_.wait(lock, [&] { return closed_ || answers_.count(id) > 0; });
    pending_.erase(id);
    if (!answers_.count(id))
        return std::nullopt;
    auto value = std::move(answers_[id]);
    answers_.erase(id);
    if (value.is_null())
        return std::nullopt;
    return value;
}

std::optional<bv::SignInAnswer> BVDaemonUserInterface::promptSignIn(const std::string& message) {
    auto value = ask("signIn", message);
    if (!value || !value->is_object())
        return std::nullopt;
    bv::SignInAnswer answer;
    answer.username = value->value("user", "");
    answer.password = value->value("password", "");
    answer.savePassword = value->value("savePassword", false);
    answer.autoLogin = value->value("autoLogin", false);
    return answer;
}

std::optional<std::string> BVDaemonUserInterface::promptTwoFactorCode(const std::string& message) {
    auto value = ask("twoFactor", message);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::optional<bv::SecureFolderPasswordAnswer> BVDaemonUserInterface::promptSecureFolderPassword(
    const std::string& folderPath) {
    auto value = ask("secureFolderPassword", folderPath);
    if (!value || !value->is_object())
        return std::nullopt;
    return bv::SecureFolderPasswordAnswer{value->value("password", ""),
                                          value->value("trustThisComputer", false)};
}

std::optional<std::string> BVDaemonUserInterface::promptNewPassword(const std::string& message) {
    auto value = ask("newPassword", message);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

void BVDaemonUserInterface::show(bv::WindowKind kind, const nlohmann::json& payload) {
    BVLog("WINDOW %@: %@", bv::windowKindName(kind), payload.dump());
    tell({{"event", "window"}, {"kind", bv::windowKindName(kind)}, {"payload", payload}});
}

std::vector<BVDaemonUserInterface::Prompt> BVDaemonUserInterface::pendingPrompts() const {
    std::lock_guard lock(promptsLock_);
    std::vector<Prompt> prompts;
    for (const auto& [id, prompt] : pending_)
        if (!answers_.count(id))
            prompts.push_back(prompt);
    return prompts;
}

std::optional<BVDaemonUserInterface::Prompt> BVDaemonUserInterface::pendingPrompt(
    const std::string& kind) const {
    for (const auto& prompt : pendingPrompts())
        if (prompt.kind == kind)
            return prompt;
    return std::nullopt;
}

bool BVDaemonUserInterface::answer(int id, const nlohmann::json& value) {
    {
        std::lock_guard lock(promptsLock_);
        if (!pending_.count(id) || answers_.count(id))
            return false;
        answers_[id] = value;
    }
    answered_.notify_all();
    return true;
}

void BVDaemonUserInterface::cancelAll() {
    {
        std::lock_guard lock(promptsLock_);
        closed_ = true;
    }
    answered_.notify_all();
}
