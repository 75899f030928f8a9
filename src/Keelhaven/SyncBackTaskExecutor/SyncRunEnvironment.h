#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultUserInfo.h"
#include "platform/Data.h"

class BrimvaultApiClient;
class SyncBackupTask;

// What a run reaches besides its task: the service, the current user, the places it keeps
// part files and what it removes locally, and the secure-folder hooks of the application.
struct SyncRunEnvironment {
    std::shared_ptr<BrimvaultApiClient> api;
    // The current user; BrimvaultUserInfo::getCurrentUser() when empty.
    std::function<BrimvaultUserInfo::Values()> user;
    // The freedesktop trash that receives what a run removes or replaces locally;
    // $XDG_DATA_HOME/Trash when empty.
    std::filesystem::path trashRoot;
    // Where downloads are written before they replace anything; a folder below the cache's
    // tmp root when empty.
    std::filesystem::path partRoot;
    // Opens the secure folder of that id through the application; refusal with a reason.
    std::function<bool(const std::string& folderID, std::string* reason)> openSecureFolder;
    // The secure-folder buffer operations, with the key set when the folder was opened.
    std::function<bool(const bv::Data& in, bv::Data* out)> encrypt;
    std::function<bool(const bv::Data& in, bv::Data* out)> decrypt;
    // Streaming decryption, preferred to decrypt when set: answers in *out the plaintext of
    // every complete record at the start of buffer and leaves only the incomplete rest in
    // it, since the download is read in pieces that cut records; false when a record fails.
    std::function<bool(bv::Data& buffer, bv::Data* out)> decryptStream;
    // Asked before a run touches either side, with the local folder and the cloud folder's
    // service path; a refusal ends the run Failed with its reason before anything changed.
    std::function<bool(SyncBackupTask& task, const std::string& localFolder,
                       const std::string& cloudFolder, std::string* reason)>
        beforeRun;

    BrimvaultUserInfo::Values currentUser() const {
        return user ? user() : BrimvaultUserInfo::getCurrentUser().values();
    }
};
