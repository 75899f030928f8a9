#include "BVApi/Controllers/BVContentSecureFoldersRuntime.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <condition_variable>
#include <map>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "crypto/encrypted_folder.h"
#include "platform/Preferences.h"
#include "platform/RunLoop.h"
#include "platform/SecretStore.h"
#include "platform/UserInterface.h"

namespace {

using Runtime = BVContentSecureFoldersRuntime;

// One question being asked for one folder; requesters that arrive meanwhile wait for it.
struct Question {
    bool answered = false;
    bool succeeded = false;
    bv::Error error;
};

// The coordination of all run-time objects of the process.
struct Questions {
    std::mutex lock;  // guards pending and asking
    std::condition_variable changed;
    std::map<std::string, std::shared_ptr<Question>> pending;  // by question, user and folder
    bool asking = false;  // somebody is talking to the user: one question at a time

    // Blocks until ready() holds; lock is held when ready() is called. The main thread keeps
    // serving its run loop, since the user interface may need it to deliver the answer.
    template <class Ready>
    void wait(std::unique_lock<std::mutex>& held, Ready ready) {
        if (!bv::RunLoop::isMainThread()) {
            changed.wait(held, ready);
            return;
        }
        while (!ready()) {
            held.unlock();
            bv::RunLoop::main().runFor(kMainThreadSlice);
            held.lock();
        }
    }
    void notify() {
        changed.notify_all();
        bv::RunLoop::main().wakeUp();
    }

    static constexpr double kMainThreadSlice = 0.05;
};

Questions& questions() {
    static Questions* shared = new Questions();  // outlives every thread that may still wait
    return *shared;
}

bv::Error ownError(int64_t code, const std::string& reason) {
    return bv::Error(Runtime::kErrorDomain, code, {{bv::kFailureReasonKey, reason}});
}

bool isWrongPassword(const bv::Error& error) {
    return error.domain() == Runtime::kErrorDomain &&
           error.code() == Runtime::kErrorIncorrectPassword;
}

// Wipes a buffer that held key material when it goes out of scope.
struct Wiped {
    std::vector<uint8_t>& bytes;
    ~Wiped() {
        if (!bytes.empty())
            OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

// The key of the signed-in session, in memory only. The cache's copy of the session keeps
// it too, but only while that copy stays in the cache's memory: one read back from disk
// comes without it, as the key is never written there.
struct HeldKey {
    std::mutex lock;  // guards sessionId and key
    std::string sessionId;
    bv::Data key;
};

HeldKey& heldKey() {
    static HeldKey* held = new HeldKey();  // outlives every thread that may still use it
    return *held;
}

void holdKey(const std::string& sessionId, const bv::Data& key) {
    HeldKey& held = heldKey();
    std::lock_guard lock(held.lock);
    if (!held.key.empty())
        OPENSSL_cleanse(held.key.mutableBytes(), held.key.size());
    held.sessionId = sessionId;
    held.key = key;
}

bv::Data heldKeyOf(const BVUserSessionItem& session) {
    HeldKey& held = heldKey();
    std::lock_guard lock(held.lock);
    return held.sessionId == session.sessionId ? held.key : bv::Data();
}

// Readers on other threads hold the cached session: a change is made to a copy.
std::shared_ptr<BVUserSessionItem> copyWithKey(const BVUserSessionItem& session,
                                               const bv::Data& key) {
    auto copy = std::dynamic_pointer_cast<BVUserSessionItem>(
        BVContentItem::unarchive(session.archivedData(), &BVUserSessionItem::itemClass()));
    if (copy)
        copy->encryptionKey = key;
    return copy;
}

}  // namespace

std::shared_ptr<BVContentSecureFoldersRuntime> BVContentSecureFoldersRuntime::runtimeFor(
    const std::string& folderId, std::shared_ptr<BVApiClientAuthContext> context,
    std::shared_ptr<BVCacheController> cache) {
    return std::make_shared<BVContentSecureFoldersRuntime>(folderId, std::move(context),
                                                           std::move(cache));
}

BVSecureFolderGate::Factory BVContentSecureFoldersRuntime::gateFactory(
    std::shared_ptr<bv::UserInterface> ui, std::shared_ptr<bv::SecretStore> secrets) {
    return [ui, secrets](const std::string& folderId,
                         const std::shared_ptr<BVApiClientAuthContext>& context,
                         const std::shared_ptr<BVCacheController>& cache, BVApiClient* client) {
        auto runtime = runtimeFor(folderId, context, cache);
        runtime->setApiClient(client);
        if (ui)
            runtime->setUserInterface(ui);
        if (secrets)
            runtime->setSecretStore(secrets);
        return std::shared_ptr<BVSecureFolderGate>(runtime);
    };
}

BVContentSecureFoldersRuntime::BVContentSecureFoldersRuntime(
    std::string folderId, std::shared_ptr<BVApiClientAuthContext> context,
    std::shared_ptr<BVCacheController> cache)
    : identifier_(std::move(folderId)), context_(std::move(context)), cache_(std::move(cache)) {}

bv::Error BVContentSecureFoldersRuntime::error() const {
    std::lock_guard lock(errorLock_);
    return error_;
}

void BVContentSecureFoldersRuntime::setError(bv::Error error) {
    std::lock_guard lock(errorLock_);
    error_ = std::move(error);
}

BVApiClient* BVContentSecureFoldersRuntime::client() const {
    return client_ ? client_ : BVApiClient::sharedClient();
}

std::shared_ptr<bv::UserInterface> BVContentSecureFoldersRuntime::ui() const {
    return ui_ ? ui_ : bv::UserInterface::current();
}

std::shared_ptr<bv::SecretStore> BVContentSecureFoldersRuntime::secrets() const {
    return secrets_ ? secrets_ : bv::SecretStore::current();
}

// MARK: - Asking

bool BVContentSecureFoldersRuntime::requestPassword() {
    isRunning_ = true;
    isSucceeded_ = false;
    BVLog("BVSecureFoldersRuntime: requesting password");
    runShared("open", &BVContentSecureFoldersRuntime::askForPassword);
    BVLog("BVSecureFoldersRuntime: unlocked");
    return isSucceeded_;
}

bool BVContentSecureFoldersRuntime::setupPassword() {
    isRunning_ = true;
    isSucceeded_ = false;
    runShared("setup", &BVContentSecureFoldersRuntime::askForNewPassword);
    return isSucceeded_;
}

void BVContentSecureFoldersRuntime::runShared(const char* question,
                                              void (BVContentSecureFoldersRuntime::*ask)()) {
    Questions& all = questions();
    const std::string key = std::string(question) + "\n" + userName() + "\n" + identifier_;
    std::shared_ptr<Question> mine;
    {
        std::unique_lock held(all.lock);
        auto pending = all.pending.find(key);
        if (pending != all.pending.end()) {
            auto theirs = pending->second;
            all.wait(held, [&] { return theirs->answered; });
            setError(theirs->error);
            finish(theirs->succeeded);
            return;
        }
        mine = std::make_shared<Question>();
        all.pending.emplace(key, mine);
        all.wait(held, [&] { return !all.asking; });
        all.asking = true;
    }
    try {
        (this->*ask)();
    } catch (const std::exception& e) {
        BVLog("BVSecureFoldersRuntime: question failed: %@", e.what());
        finish(false);
    } catch (...) {
        finish(false);
    }
    {
        std::lock_guard held(all.lock);
        all.asking = false;
        mine->answered = true;
        mine->succeeded = isSucceeded_;
        mine->error = error();
        all.pending.erase(key);
    }
    all.notify();
}

void BVContentSecureFoldersRuntime::finish(bool succeeded) {
    isSucceeded_ = succeeded;
    isRunning_ = false;
}

void BVContentSecureFoldersRuntime::askForPassword() {
    // A requester that arrives just after another opened the folder needs no question.
    if (openWithHeldKey())
        return finish(true);
    if (auto saved = userKeychainData()) {
        if (openSecureFolderWithPassword(*saved, false))
            return finish(true);
        if (!isWrongPassword(error())) {
            Utilities::presentError(error());
            return finish(false);
        }
    }
    while (isRunning_) {
        auto answer = ui()->promptSecureFolderPassword(folderDisplayName());
        if (!answer) {
            cancelled();
            break;
        }
        if (answer->password.empty()) {
            ui()->alert(kEmptyPasswordPrompt, "", {"OK"});
            continue;
        }
        UserEnteredPassword(answer->password, identifier_, answer->trustThisComputer);
    }
}

void BVContentSecureFoldersRuntime::askForNewPassword() {
    std::string message;
    while (isRunning_) {
        auto password = ui()->promptNewPassword(message);
        auto confirmation =
            password ? ui()->promptNewPassword(kConfirmPasswordPrompt) : std::nullopt;
        if (!password || !confirmation) {
            setPasswordCancelled();
            break;
        }
        if (password->empty() || confirmation->empty()) {
            message = kMissingFieldsPrompt;
        } else if (*password != *confirmation) {
            message = kMismatchPrompt;
        } else {
            setPassword(*password, identifier_);
        }
    }
}

// MARK: - Answers

void BVContentSecureFoldersRuntime::UserEnteredPassword(const std::string& password,
                                                        const std::string& /*folderId*/,
                                                        bool trustComputer) {
    bv::Preferences::standard().setBool(kTrustPreference, trustComputer);
    if (openSecureFolderWithPassword(password, trustComputer))
        return finish(true);
    bv::Error failure = error();
    Utilities::presentError(failure);
    if (!isWrongPassword(failure)) {
        // The service could not be asked: another try would fail the same way.
        return finish(false);
    }
    bv::Error removeError;
    if (!secrets()->remove(kKeychainService, userName(), &removeError))
        BVLog("BVSecureFoldersRuntime: saved password not removed: %@", removeError.description());
}

void BVContentSecureFoldersRuntime::setPassword(const std::string& password,
                                                const std::string& /*folderId*/) {
    std::string hash, data;
    if (!set_password(password, &hash, &data)) {
        setError(ownError(kErrorVerifierCreation, "The secure folder could not be set up."));
        return finish(false);
    }
    bv::Error failure;
    if (!client()->secureFoldersInit(identifier_, data, hash, context_.get(), &failure)) {
        setError(failure);
        Utilities::presentError(failure);
        return finish(false);
    }
    finish(openSecureFolderWithPassword(password, true));
}

void BVContentSecureFoldersRuntime::cancelled() {
    setError(bv::Error());
    finish(false);
}

void BVContentSecureFoldersRuntime::setPasswordCancelled() {
    setError(bv::Error());
    finish(false);
}

// MARK: - Opening

bool BVContentSecureFoldersRuntime::openSecureFolderWithPassword(const std::string& password,
                                                                 bool trustComputer) {
    if (password.empty()) {
        setError(ownError(kErrorNoPassword, kNoPasswordMessage));
        return false;
    }
    bv::Error failure;
    auto answer = client()->secureFoldersAuth(identifier_, context_.get(), &failure);
    const nlohmann::json* data = answer->valueForKey("Data");
    if (!data || !data->is_string()) {
        setError(failure.isSet() ? failure
                                 : ownError(kErrorIncorrectPassword, kIncorrectPasswordMessage));
        return false;
    }
    std::string hash;
    bv::Data key;
    Wiped wipeKey{key.vector()};
    if (!encryptDirectory(password, data->get_ref<const std::string&>(), &hash, &key)) {
        setError(ownError(kErrorIncorrectPassword, kIncorrectPasswordMessage));
        return false;
    }
    failure = bv::Error();
    if (!client()->secureFoldersAuth(identifier_, hash, context_.get(), &failure)) {
        // A refusal of the hash is a wrong password; a failed exchange is passed through.
        if (failure.code() == BVApiClient::kErrorServer || !failure.isSet()) {
            bv::Error wrong = ownError(kErrorIncorrectPassword, kIncorrectPasswordMessage);
            if (failure.isSet())
                wrong.setUnderlying(failure);
            failure = wrong;
        }
        setError(failure);
        return false;
    }
    storeKey(key);
    // The service has opened the folder: a password that cannot be saved is only logged.
    if (trustComputer) {
        bv::Error saveError;
        try {
            if (!secrets()->save(kKeychainService, userName(), password, &saveError))
                BVLog("BVSecureFoldersRuntime: password not saved: %@", saveError.description());
        } catch (const std::exception& e) {
            BVLog("BVSecureFoldersRuntime: password not saved: %@", e.what());
        }
    }
    setError(bv::Error());
    return true;
}

bool BVContentSecureFoldersRuntime::openWithHeldKey() {
    auto session = currentSession();
    if (!session || session->encryptionKey.size() != 32)
        return false;
    bv::Error ignored;
    auto answer = client()->secureFoldersAuth(identifier_, context_.get(), &ignored);
    const nlohmann::json* data = answer->valueForKey("Data");
    if (!data || !data->is_string())
        return false;
    std::string hash;
    if (!verifierHashWithKey(session->encryptionKey, data->get_ref<const std::string&>(), &hash))
        return false;
    return client()->secureFoldersAuth(identifier_, hash, context_.get(), &ignored);
}

void BVContentSecureFoldersRuntime::storeKey(const bv::Data& key) {
    auto session = currentSession();
    if (!session)
        return;
    holdKey(session->sessionId, key);
    auto updated = copyWithKey(*session, key);
    if (!updated) {
        BVLog("BVSecureFoldersRuntime: the session could not be copied; key not stored");
        return;
    }
    if (cache_)
        cache_->storeItem(updated);
}

std::shared_ptr<BVUserSessionItem> BVContentSecureFoldersRuntime::currentSession() const {
    auto cached = cache_ ? cache_->fetchUserSession("default") : nullptr;
    if (!cached)
        return context_ ? context_->session() : nullptr;
    if (!cached->encryptionKey.empty())
        return cached;
    bv::Data key = heldKeyOf(*cached);
    Wiped wipeKey{key.vector()};
    if (key.empty())
        return cached;
    // The cache read its copy back from disk: give it the key again.
    auto updated = copyWithKey(*cached, key);
    if (!updated)
        return cached;
    cache_->storeItem(updated);
    return updated;
}

std::string BVContentSecureFoldersRuntime::userName() const {
    auto session = context_ ? context_->session() : nullptr;
    if (!session)
        session = currentSession();
    return session ? session->username : std::string();
}

std::string BVContentSecureFoldersRuntime::folderDisplayName() const {
    if (cache_) {
        if (auto listing = cache_->fetchFolderList(identifier_); listing && !listing->path.empty())
            return listing->path;
    }
    return identifier_;
}

std::optional<std::string> BVContentSecureFoldersRuntime::userKeychainData() {
    const std::string user = userName();
    if (user.empty())
        return std::nullopt;
    return secrets()->find(kKeychainService, user);
}
