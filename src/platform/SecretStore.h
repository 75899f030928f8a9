#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace bv {

// Generic passwords: one secret per (service, account), e.g. ("BrimvaultSecureFolder",
// user name). Implementations are thread-safe.
class SecretStore {
  public:
    virtual ~SecretStore() = default;

    // The saved secret, or nothing (none saved, or the store cannot be read safely).
    virtual std::optional<std::string> find(const std::string& service,
                                            const std::string& account) = 0;
    // Saves or replaces the secret. False with *error set when it could not be stored.
    virtual bool save(const std::string& service, const std::string& account,
                      const std::string& secret, Error* error = nullptr) = 0;
    // Removes the secret; true also when there was none.
    virtual bool remove(const std::string& service, const std::string& account,
                        Error* error = nullptr) = 0;

    // The process-wide store: a FileSecretStore at its default place until a program or a
    // test sets another. setCurrent(nullptr) restores that default. Answers the previous one.
    static std::shared_ptr<SecretStore> current();
    static std::shared_ptr<SecretStore> setCurrent(std::shared_ptr<SecretStore> store);

    // Where stores report refused or damaged files (never a secret): one line each. The
    // default writes to stderr; programs point it at their log. Answers the previous sink.
    using DiagnosticSink = std::function<void(const std::string& line)>;
    static DiagnosticSink setDiagnosticSink(DiagnosticSink sink);
    static void diagnose(const std::string& line);
};

// Secrets in one JSON file, {"<service>": {"<account>": "<secret>"}}, mode 0600 in a folder
// of mode 0700.
//
// - A secret is any bytes: one that is not UTF-8 text (a Latin-1 password) is kept as
//   {"base64": "<its bytes>"} in place of the string. Service and account names must be
//   UTF-8 text; save refuses others (EINVAL) and touches no file.
// - Every change rewrites the file atomically (exclusive temporary file, fsync, rename,
//   fsync of the folder) under an advisory lock on the folder, so other processes of the
//   user never see half a file nor lose each other's changes.
// - Nothing is read or written through a symbolic link; a file that is not a regular file
//   owned by us, or that group or others may read or write, is refused, and so is a folder
//   that is not ours or that others may write to: find answers nothing and changes fail
//   (the diagnostic sink says why); the file is left alone.
// - A damaged file (not the JSON above) reads as empty. The next change moves it aside to
//   "<file>.damaged" (replacing an older one) and logs that, so no secret is lost silently.
class FileSecretStore : public SecretStore {
  public:
    static constexpr const char* kFileName = "secrets.json";
    static constexpr const char* kDamagedSuffix = ".damaged";

    // folder empty: $XDG_DATA_HOME/Brimvault, looked up again at every call (tests move it).
    explicit FileSecretStore(std::filesystem::path folder = {});

    std::optional<std::string> find(const std::string& service,
                                    const std::string& account) override;
    bool save(const std::string& service, const std::string& account, const std::string& secret,
              Error* error = nullptr) override;
    bool remove(const std::string& service, const std::string& account,
                Error* error = nullptr) override;

    std::filesystem::path folder() const;
    std::filesystem::path filePath() const { return folder() / kFileName; }

  private:
    std::filesystem::path folder_;
    std::mutex fileLock_;  // guards read-modify-write of the file within this process
};

}  // namespace bv
