#include "Answers.h"

namespace bvserver {

nlohmann::json folderJson(const FolderRow& row, bool encrypted) {
    return {{"FolderID", tree::folderIdText(row)},
            {"Name", row.name},
            {"Encrypted", encrypted ? 1 : 0},
            {"DateCreated", row.created},
            {"DateModified", row.modified}};
}

nlohmann::json fileJson(const FileRow& row) {
    return {{"FileId", std::to_string(row.id)},
            {"Name", row.name},
            {"Size", row.size},
            {"RequireCompression", 0},
            {"DateModified", row.modified}};
}

Access accessFor(Services& services, const ApiCall& call, const char* which) {
    std::optional<std::string> sharingId;
    if (which)
        sharingId = call.param(which);
    if (!sharingId)
        sharingId = call.param("sharing_id");
    if (sharingId && sharingId->empty())
        sharingId.reset();
    return services.sharing.access(call.session.userId, call.sessionId, sharingId);
}

}  // namespace bvserver
