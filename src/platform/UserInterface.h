#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace bv {

// Informational windows that show() can bring up.
enum class WindowKind { Properties, Sharing, Uploads, About, Notifications };

const char* windowKindName(WindowKind kind);

struct SignInAnswer {
    std::string username;
    std::string password;
    bool savePassword = false;
    bool autoLogin = false;
};

struct SecureFolderPasswordAnswer {
    std::string password;
    bool trustThisComputer = false;
};

// Alerts, prompts and windows. Every prompt answers nothing when the user cancels; alert()
// answers the index of the chosen button, or kAlertCancelled when no button was chosen.
// Implementations may be called from any thread.
class UserInterface {
  public:
    static constexpr int kAlertCancelled = -1;

    virtual ~UserInterface() = default;

    virtual int alert(const std::string& message, const std::string& informativeText,
                      const std::vector<std::string>& buttons) = 0;
    // message explains why the form is shown (empty at a plain sign-in).
    virtual std::optional<SignInAnswer> promptSignIn(const std::string& message) = 0;
    virtual std::optional<std::string> promptTwoFactorCode(const std::string& message) = 0;
    virtual std::optional<SecureFolderPasswordAnswer> promptSecureFolderPassword(
        const std::string& folderPath) = 0;
    virtual std::optional<std::string> promptNewPassword(const std::string& message) = 0;
    virtual void show(WindowKind kind, const nlohmann::json& payload) = 0;

    // The process-wide instance: a headless one that logs to stderr until a program sets
    // its own. setCurrent(nullptr) restores that default. Answers the previous instance.
    static std::shared_ptr<UserInterface> current();
    static std::shared_ptr<UserInterface> setCurrent(std::shared_ptr<UserInterface> ui);
};

// Answers supplied ahead of the questions, one queue per kind of question, taken in order.
// A question with no answer waiting is cancelled.
class SuppliedAnswers {
  public:
    void supplyAlertAnswer(int button);
    void supplySignIn(SignInAnswer answer);
    void supplyTwoFactorCode(std::string code);
    void supplySecureFolderPassword(SecureFolderPasswordAnswer answer);
    void supplyNewPassword(std::string password);

  protected:
    int takeAlertAnswer();
    std::optional<SignInAnswer> takeSignIn();
    std::optional<std::string> takeTwoFactorCode();
    std::optional<SecureFolderPasswordAnswer> takeSecureFolderPassword();
    std::optional<std::string> takeNewPassword();

  private:
    std::mutex answersLock_;  // guards the five queues
    std::deque<int> alerts_;
    std::deque<SignInAnswer> signIns_;
    std::deque<std::string> codes_;
    std::deque<SecureFolderPasswordAnswer> folderPasswords_;
    std::deque<std::string> newPasswords_;
};

// For daemons: every question and window is written to the sink as one line, and every
// question is cancelled unless an answer was supplied (the control socket supplies them).
class HeadlessUserInterface : public UserInterface, public SuppliedAnswers {
  public:
    using Sink = std::function<void(const std::string& line)>;
    // An empty sink writes to stderr.
    explicit HeadlessUserInterface(Sink sink = {});

    int alert(const std::string& message, const std::string& informativeText,
              const std::vector<std::string>& buttons) override;
    std::optional<SignInAnswer> promptSignIn(const std::string& message) override;
    std::optional<std::string> promptTwoFactorCode(const std::string& message) override;
    std::optional<SecureFolderPasswordAnswer> promptSecureFolderPassword(
        const std::string& folderPath) override;
    std::optional<std::string> promptNewPassword(const std::string& message) override;
    void show(WindowKind kind, const nlohmann::json& payload) override;

  private:
    void write(const std::string& line) const;
    Sink sink_;
};

// For tests: answers from the supplied queues (cancel when empty) and records every call.
class ScriptedUserInterface : public UserInterface, public SuppliedAnswers {
  public:
    struct Call {
        std::string kind;        // "alert", "signIn", "twoFactor", "secureFolderPassword",
                                 // "newPassword", "show"
        std::string text;        // the message, folder path or window kind
        nlohmann::json details;  // informative text and buttons of an alert; show's payload
    };

    int alert(const std::string& message, const std::string& informativeText,
              const std::vector<std::string>& buttons) override;
    std::optional<SignInAnswer> promptSignIn(const std::string& message) override;
    std::optional<std::string> promptTwoFactorCode(const std::string& message) override;
    std::optional<SecureFolderPasswordAnswer> promptSecureFolderPassword(
        const std::string& folderPath) override;
    std::optional<std::string> promptNewPassword(const std::string& message) override;
    void show(WindowKind kind, const nlohmann::json& payload) override;

    std::vector<Call> calls() const;
    void clearCalls();

  private:
    void record(Call call);
    mutable std::mutex callsLock_;  // guards calls_
    std::vector<Call> calls_;
};

}  // namespace bv
