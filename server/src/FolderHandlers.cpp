#include "Answers.h"
#include "ApiRouter.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
using Rule = ApiRouter::SessionRule;

nlohmann::json listingJson(const FolderListing& l) {
    nlohmann::json out = {{"DirUpdateTime", l.folder.stamp},
                          {"Name", l.folder.name},
                          {"ParentFolderID", l.parentId},
                          {"ResponseType", l.changed ? 1 : 2}};
    if (!l.changed)
        return out;
    nlohmann::json folders = nlohmann::json::array();
    for (const auto& f : l.folders)
        folders.push_back(folderJson(f, l.encrypted || f.secureRoot));
    nlohmann::json files = nlohmann::json::array();
    for (const auto& f : l.files)
        files.push_back(fileJson(f));
    out["Folders"] = std::move(folders);
    out["Files"] = std::move(files);
    return out;
}

void removeContent(Services& sv, const ContentList& removed) {
    for (const auto& [id, rev] : removed)
        sv.content.remove(id, rev);
}
}  // namespace

void registerFolderHandlers(ApiRouter& router, Services& sv) {
    router.add("GET", "folder/list.json", Rule::Verified, [&sv](ApiCall& c) {
        int64_t since = c.integer("last_request_time").value_or(0);
        c.answer = listingJson(sv.tree.list(accessFor(sv, c), c.arg(0, "folder id"), since));
    });
    router.add("GET", "folder/trashlist.json", Rule::Verified, [&sv](ApiCall& c) {
        TrashListing t =
            sv.tree.listTrash(Access{c.session.userId, c.session.userId, false, c.sessionId});
        nlohmann::json folders = nlohmann::json::array();
        for (const auto& f : t.folders)
            folders.push_back(folderJson(f, false));
        nlohmann::json files = nlohmann::json::array();
        for (const auto& f : t.files)
            files.push_back(fileJson(f));
        c.answer = {{"ResponseType", 1},
                    {"DirUpdateTime", t.stamp},
                    {"Folders", folders},
                    {"Files", files}};
    });
    router.add("GET", "folder/info.json", Rule::Verified, [&sv](ApiCall& c) {
        bool encrypted = false;
        FolderRow row = sv.tree.folderInfo(accessFor(sv, c), c.arg(0, "folder id"), &encrypted);
        c.answer = folderJson(row, encrypted);
        c.answer["Link"] = "";
        c.answer["Description"] = row.description;
        c.answer["Access"] = 0;
    });
    router.add("GET", "folder/path.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"Path", sv.tree.folderPath(accessFor(sv, c), c.arg(0, "folder id"))}};
    });
    router.add("POST", "folder/idbypath.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"FolderId", sv.tree.folderIdAt(accessFor(sv, c), c.required("path"))}};
    });
    router.add("POST", "folder.json", Rule::Verified, [&sv](ApiCall& c) {
        bool encrypted = false;
        FolderRow row = sv.tree.createFolder(accessFor(sv, c), c.required("folder_sub_parent"),
                                             c.required("folder_name"), &encrypted);
        c.answer = folderJson(row, encrypted);
    });
    router.add("POST", "folder/move_copy.json", Rule::Verified, [&sv](ApiCall& c) {
        if (c.param("move").value_or("true") != "true") {
            throw ServiceError(kBadRequest, "Copying folders is not supported");
        }
        bool encrypted = false;
        FolderRow row =
            sv.tree.moveFolder(accessFor(sv, c, "src_sharing_id"), c.required("folder_id"),
                               accessFor(sv, c, "dst_sharing_id"), c.required("dst_folder_id"),
                               c.param("new_folder_name"), &encrypted);
        c.answer = folderJson(row, encrypted);
    });
    router.add("POST", "folder/remove.json", Rule::Verified, [&sv](ApiCall& c) {
        ContentList removed;
        int64_t stamp = sv.tree.deleteFolder(accessFor(sv, c), c.required("folder_id"), &removed);
        removeContent(sv, removed);
        c.answer = {{"DirUpdateTime", stamp}};
    });
    router.add("POST", "folder/trash.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {
            {"DirUpdateTime", sv.tree.trashFolder(accessFor(sv, c), c.required("folder_id"))}};
    });
    router.add("DELETE", "folder/trash.json", Rule::Verified, [&sv](ApiCall& c) {
        ContentList removed;
        int64_t stamp = sv.tree.emptyTrash(c.session.userId, &removed);
        removeContent(sv, removed);
        c.answer = {{"DirUpdateTime", stamp}, {"result", 1}};
    });
    router.add("POST", "folder/restore.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {
            {"DirUpdateTime", sv.tree.restoreFolder(accessFor(sv, c), c.required("folder_id"))}};
    });
    router.add("PUT", "folder/foldersettings.json", Rule::Verified, [&sv](ApiCall& c) {
        bool encrypted = false;
        FolderRow row = sv.tree.folderInfo(accessFor(sv, c), c.required("folder_id"), &encrypted);
        c.answer = {{"FolderID", tree::folderIdText(row)}, {"result", 1}};
    });
}

}  // namespace bvserver
