#include "Answers.h"
#include "ApiRouter.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
using Rule = ApiRouter::SessionRule;

int64_t modeOf(const ApiCall& c) {
    auto mode = c.integer("sharemode");
    if (!mode)
        throw ServiceError(kBadRequest, "Missing parameter: sharemode");
    return *mode;
}
}  // namespace

void registerSharingHandlers(ApiRouter& router, Services& sv) {
    router.add("POST", "sharing.json", Rule::Verified, [&sv](ApiCall& c) {
        Access own{c.session.userId, c.session.userId, false, c.sessionId};
        c.answer = {{"DirUpdateTime", sv.sharing.share(own, c.required("folder_id"),
                                                       c.required("username"), modeOf(c))}};
    });
    router.add("DELETE", "sharing.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"DirUpdateTime", sv.sharing.remove(c.session.userId, c.arg(0, "sharing id"))}};
    });
    router.add("PUT", "sharing/setmode.json", Rule::Verified, [&sv](ApiCall& c) {
        sv.sharing.setMode(c.session.userId, c.required("sharing_id"), modeOf(c));
        c.answer = {{"result", 1}};
    });
    router.add("GET", "sharing/listusers.json", Rule::Verified, [&sv](ApiCall& c) {
        Access own{c.session.userId, c.session.userId, false, c.sessionId};
        nlohmann::json users = nlohmann::json::array();
        for (const auto& s : sv.sharing.usersOf(own, c.arg(0, "folder id"))) {
            users.push_back(
                {{"SharingID", std::to_string(s.id)}, {"Name", s.userName}, {"ShareMode", s.mode}});
        }
        c.answer = {{"ShareWithUser", users}};
    });
    router.add("GET", "sharing/listsharedusers.json", Rule::Verified, [&sv](ApiCall& c) {
        nlohmann::json users = nlohmann::json::array();
        for (const auto& s : sv.sharing.sharers(c.session.userId)) {
            users.push_back({{"SharingID", std::to_string(s.id)}, {"Name", s.userName}});
        }
        c.answer = {{"ResponseType", 1}, {"DirUpdateTime", nowSeconds()}, {"SharedUsers", users}};
    });
    router.add("GET", "sharing/listsharedfolders.json", Rule::Verified, [&sv](ApiCall& c) {
        std::string sharingId = c.args.empty() ? c.required("sharing_id") : c.args[0];
        nlohmann::json folders = nlohmann::json::array();
        for (const auto& s : sv.sharing.foldersSharedBy(c.session.userId, sharingId)) {
            nlohmann::json f = folderJson(s.folder, s.encrypted);
            f["ShareMode"] = s.mode;
            folders.push_back(std::move(f));
        }
        c.answer = {
            {"ResponseType", 1}, {"DirUpdateTime", nowSeconds()}, {"SharedFolders", folders}};
    });
}

void registerSecureFolderHandlers(ApiRouter& router, Services& sv) {
    router.add("POST", "securefolders/init.json", Rule::Verified, [&sv](ApiCall& c) {
        sv.secure.init(accessFor(sv, c), c.required("folder_id"), c.required("data"),
                       c.required("hash"));
        c.answer = {{"result", 1}};
    });
    router.add("GET", "securefolders/auth.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"Data", sv.secure.data(accessFor(sv, c), c.arg(0, "folder id"))}};
    });
    router.add("POST", "securefolders/auth.json", Rule::Verified, [&sv](ApiCall& c) {
        sv.secure.authenticate(accessFor(sv, c), c.required("folder_id"), c.required("hash"));
        c.answer = {{"result", 1}};
    });
}

}  // namespace bvserver
