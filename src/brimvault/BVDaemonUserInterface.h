#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/UserInterface.h"

// The daemon's user interface. Alerts and windows are logged and handed to the listener
// (a connected `brimvault` command shows them) and never wait. A prompt becomes a pending
// prompt, shown by `brimvault status` and offered to the listener, and waits until a
// `brimvault` command answers it or cancelAll() ends it; prompts are only asked off the
// main thread, whose loop serves the answers. An alert that offers a choice of buttons and
// is raised off the main thread is a prompt too ("choice"), answered by a button's index.
// Every prompt and alert is also shown by the notifier (a desktop notification), which says
// which command answers a prompt.
class BVDaemonUserInterface : public bv::UserInterface {
  public:
    struct Prompt {
        int id = 0;
        // "signIn", "twoFactor", "secureFolderPassword", "newPassword", "choice"
        std::string kind;
        std::string message;
        std::vector<std::string> buttons;  // of a choice
    };
    using Notifier = std::function<void(const std::string& title, const std::string& body)>;
    // Told of every new prompt and of every alert ({"event": "prompt"|"alert", ...}); called
    // on the asking thread.
    using Listener = std::function<void(const nlohmann::json& event)>;

    void setListener(Listener listener);
    void setNotifier(Notifier notifier);
    // The command that answers a prompt of the kind.
    static std::string answerCommand(const std::string& kind);

    int alert(const std::string& message, const std::string& informativeText,
              const std::vector<std::string>& buttons) override;
    std::optional<bv::SignInAnswer> promptSignIn(const std::string& message) override;
    std::optional<std::string> promptTwoFactorCode(const std::string& message) override;
    std::optional<bv::SecureFolderPasswordAnswer> promptSecureFolderPassword(
        const std::string& folderPath) override;
    std::optional<std::string> promptNewPassword(const std::string& message) override;
    void show(bv::WindowKind kind, const nlohmann::json& payload) override;

    std::vector<Prompt> pendingPrompts() const;
    // The oldest pending prompt of the kind, if any.
    std::optional<Prompt> pendingPrompt(const std::string& kind) const;
    // Answers a pending prompt (null = cancel); false when there is no such prompt.
    bool answer(int id, const nlohmann::json& value);
    // Cancels every pending prompt and every later one (the daemon is ending).
    void cancelAll();

  private:
    std::optional<nlohmann::json> ask(const std::string& kind, const std::string& message,
                                      const std::vector<std::string>& buttons = {});
    void tell(const nlohmann::json& event);
    void notify(const std::string& title, const std::string& body);

    mutable std::mutex promptsLock_;  // guards everything below
    std::condition_variable answered_;
    std::map<int, Prompt> pending_;
    std::map<int, nlohmann::json> answers_;
    int nextId_ = 1;
    bool closed_ = false;
    Listener listener_;
    Notifier notifier_;
};
