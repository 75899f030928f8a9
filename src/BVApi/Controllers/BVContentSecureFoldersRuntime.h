#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "BVApi/Content/Controller/BVSecureFolderGate.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVApiClient;
class BVApiClientAuthContext;
class BVCacheController;
class BVUserSessionItem;

namespace bv {
class SecretStore;
class UserInterface;
}  // namespace bv

// Obtains the password of one secure folder, from the secret store or from the user, and
// opens the folder at the service; or makes a folder secure with a new password. Once a
// folder is open its key is the "default" session's encryptionKey in the cache, held in
// memory only (the cache never writes it to disk, and a restart forgets it); a trusted
// computer keeps the password in the secret store instead and opens the folder with it.
//
// The operations block the calling thread (a file-system worker) while the user answers.
// Several requesters for the same folder share one question: the first asks, the others
// wait for its answer and answer the same. Questions for different folders are asked one at
// a time. A main-thread caller keeps its run loop going while it waits.
//
// Errors (domain "BVContentSecureFoldersRuntime", text under the failure-reason key):
// 0 no password entered, 2 incorrect password, 3 verifier creation failed; errors of the
// exchange with the service (-200, -199, ...) are passed through.
class BVContentSecureFoldersRuntime : public BVSecureFolderGate {
  public:
    static constexpr const char* kErrorDomain = "BVContentSecureFoldersRuntime";
    static constexpr int64_t kErrorNoPassword = 0;
    static constexpr int64_t kErrorIncorrectPassword = 2;
    static constexpr int64_t kErrorVerifierCreation = 3;
    static constexpr const char* kKeychainService = "BrimvaultSecureFolder";
    static constexpr const char* kTrustPreference = "trustComp";

    static constexpr const char* kNoPasswordMessage = "You should enter the password";
    static constexpr const char* kIncorrectPasswordMessage = "Incorrect password for Secure Files.";
    static constexpr const char* kEmptyPasswordPrompt = "please enter password to continue.";
    static constexpr const char* kMissingFieldsPrompt =
        "please enter password, and confirm password.";
    static constexpr const char* kMismatchPrompt =
        "Password and Confirm Password do not match. Please try again.";
    static constexpr const char* kConfirmPasswordPrompt = "Confirm Password";

    static std::shared_ptr<BVContentSecureFoldersRuntime> runtimeFor(
        const std::string& folderId, std::shared_ptr<BVApiClientAuthContext> context,
        std::shared_ptr<BVCacheController> cache);
    // Runtimes for a content controller, asking through ui and keeping passwords in secrets
    // (each unset one is the process-wide one).
    static BVSecureFolderGate::Factory gateFactory(std::shared_ptr<bv::UserInterface> ui,
                                                   std::shared_ptr<bv::SecretStore> secrets);

    BVContentSecureFoldersRuntime(std::string folderId,
                                  std::shared_ptr<BVApiClientAuthContext> context,
                                  std::shared_ptr<BVCacheController> cache);
    BVContentSecureFoldersRuntime(const BVContentSecureFoldersRuntime&) = delete;
    BVContentSecureFoldersRuntime& operator=(const BVContentSecureFoldersRuntime&) = delete;

    // Collaborators; each defaults to the process-wide one when unset (null).
    void setApiClient(BVApiClient* client) { client_ = client; }
    void setUserInterface(std::shared_ptr<bv::UserInterface> ui) { ui_ = std::move(ui); }
    void setSecretStore(std::shared_ptr<bv::SecretStore> store) { secrets_ = std::move(store); }

    const std::string& identifier() const { return identifier_; }
    const std::shared_ptr<BVApiClientAuthContext>& context() const { return context_; }
    bv::Error error() const override;
    bool isRunning() const { return isRunning_; }
    bool isSucceeded() const { return isSucceeded_; }

    // Opens an existing secure folder: the key already held, else the saved password, else
    // the user's, asked until it is right or the user cancels. Answers whether it is open.
    bool requestPassword() override;
    // Asks the user for a new password (twice) and makes the folder secure with it.
    bool setupPassword() override;
    // Checks the password against the folder's verifier and presents the hash to the
    // service; on success stores the key, and the password when trustComputer.
    bool openSecureFolderWithPassword(const std::string& password, bool trustComputer);

    // The answers of the password questions.
    void UserEnteredPassword(const std::string& password, const std::string& folderId,
                             bool trustComputer);
    void setPassword(const std::string& password, const std::string& folderId);
    void cancelled();
    void setPasswordCancelled();

    // The saved secure-folder password of the signed-in user, if any.
    std::optional<std::string> userKeychainData();

  private:
    void askForPassword();
    void askForNewPassword();
    // Joins the requesters of the same question for this folder: the first runs ask, the
    // others take over its outcome.
    void runShared(const char* question, void (BVContentSecureFoldersRuntime::*ask)());
    bool openWithHeldKey();
    void storeKey(const bv::Data& key);
    std::shared_ptr<BVUserSessionItem> currentSession() const;
    std::string userName() const;
    std::string folderDisplayName() const;
    void finish(bool succeeded);
    void setError(bv::Error error);
    BVApiClient* client() const;
    std::shared_ptr<bv::UserInterface> ui() const;
    std::shared_ptr<bv::SecretStore> secrets() const;

    const std::string identifier_;
    const std::shared_ptr<BVApiClientAuthContext> context_;
    const std::shared_ptr<BVCacheController> cache_;
    BVApiClient* client_ = nullptr;
    std::shared_ptr<bv::UserInterface> ui_;
    std::shared_ptr<bv::SecretStore> secrets_;

    std::atomic<bool> isRunning_{false};
    std::atomic<bool> isSucceeded_{false};
    mutable std::mutex errorLock_;  // guards error_
    bv::Error error_;
};
