#pragma once

#include <nlohmann/json.hpp>

#include "ApiCall.h"
#include "Services.h"
#include "TreeQueries.h"

namespace bvserver {

// The answer records of folders and files, with the keys clients read.
nlohmann::json folderJson(const FolderRow& row, bool encrypted);
nlohmann::json fileJson(const FileRow& row);

// The request context of a call: the caller's drive, or a sharer's drive when the call
// carries "sharing_id". `which` picks "src_sharing_id" / "dst_sharing_id" first when given.
Access accessFor(Services& services, const ApiCall& call, const char* which = nullptr);

// Handler groups, each registering its endpoints with the router.
class ApiRouter;
void registerAccountHandlers(ApiRouter& router, Services& services);
void registerFolderHandlers(ApiRouter& router, Services& services);
void registerFileHandlers(ApiRouter& router, Services& services);
void registerUploadHandlers(ApiRouter& router, Services& services);
void registerSharingHandlers(ApiRouter& router, Services& services);
void registerSecureFolderHandlers(ApiRouter& router, Services& services);

}  // namespace bvserver
