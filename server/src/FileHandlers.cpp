#include <algorithm>
#include <memory>
#include <vector>

#include "Answers.h"
#include "ApiRouter.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
using Rule = ApiRouter::SessionRule;

constexpr size_t kDownloadPiece = 1024 * 1024;

// A 1x1 PNG: the thumbnail of every picture.
const unsigned char kThumbnail[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x04, 0x00, 0x00,
    0x00, 0xb5, 0x1c, 0x0c, 0x02, 0x00, 0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78,
    0xda, 0x63, 0x64, 0x60, 0x00, 0x00, 0x00, 0x06, 0x00, 0x02, 0x30, 0x81, 0xd0, 0x2f,
    0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

bool isPicture(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return ext == "jpg" || ext == "jpeg" || ext == "png";
}

// The current content of a file (null when it never had one). A new version may replace (and
// remove) the one just looked up, so the lookup is repeated once. What is answered stays
// readable while it is sent, even if the version is replaced or deleted meanwhile.
std::pair<FileRow, std::shared_ptr<const StoredContent>> openContent(Services& sv,
                                                                     const Access& access,
                                                                     const std::string& fileId) {
    for (int attempt = 0;; ++attempt) {
        FileRow row = sv.tree.fileInfo(access, fileId);
        if (row.rev == 0 && row.size == 0)
            return {row, nullptr};
        auto content = row.rev == 0 ? nullptr : sv.content.open(row.id, row.rev);
        // A stored version never changes, so one of another length is damaged.
        if (content && static_cast<int64_t>(content->size()) == row.size)
            return {row, content};
        if (attempt == 1 || content)
            throw ServiceError(kInternal, "File content is unavailable");
    }
}

void download(Services& sv, ApiCall& c) {
    auto [row, content] = openContent(sv, accessFor(sv, c), c.arg(0, "file id"));
    int64_t offset = c.integer("offset").value_or(0);
    if (offset < 0 || offset > row.size)
        throw ServiceError(kBadRequest, "Invalid offset");
    std::optional<int64_t> dropAfter = c.dropAfterBytes;
    c.raw = true;
    c.response->status = 200;
    const int64_t stored = row.size - offset;
    const int64_t sent = c.servedBytes.value_or(stored);
    if (sent == 0) {
        c.response->set_content("", "application/octet-stream");
        return;
    }
    c.response->set_content_provider(
        static_cast<size_t>(sent), "application/octet-stream",
        [content, offset, dropAfter, stored](size_t off, size_t len, httplib::DataSink& sink) {
            if (dropAfter && static_cast<int64_t>(off) >= *dropAfter)
                return false;
            size_t want = std::min(len, kDownloadPiece);
            if (dropAfter)
                want = std::min<size_t>(want, static_cast<size_t>(*dropAfter) - off);
            if (static_cast<int64_t>(off) >= stored) {
                // An injected answer longer than the file: zero bytes after its end.
                static const std::vector<char> zeros(kDownloadPiece);
                return sink.write(zeros.data(), want);
            }
            want = std::min<size_t>(want, static_cast<size_t>(stored) - off);
            return sink.write(content->data() + offset + off, want);
        },
        [content](bool) {});
}

void removeContent(Services& sv, const ContentList& removed) {
    for (const auto& [id, rev] : removed)
        sv.content.remove(id, rev);
}
}  // namespace

void registerFileHandlers(ApiRouter& router, Services& sv) {
    router.add("GET", "file/info.json", Rule::Verified, [&sv](ApiCall& c) {
        std::string id = c.args.empty() ? c.required("file_id") : c.args[0];
        FileRow row = sv.tree.fileInfo(accessFor(sv, c), id);
        c.answer = fileJson(row);
        c.answer["Link"] = "";
        c.answer["DownloadLink"] = "";
        c.answer["StreamingLink"] = "";
        c.answer["Access"] = 0;
        c.answer["Description"] = "";
    });
    router.add("GET", "file/path.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"Path", sv.tree.filePath(accessFor(sv, c), c.arg(0, "file id"))}};
    });
    router.add("POST", "file/idbypath.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"FileId", sv.tree.fileIdAt(accessFor(sv, c), c.required("path"))}};
    });
    router.add("POST", "file/move_copy.json", Rule::Verified, [&sv](ApiCall& c) {
        if (c.param("move").value_or("true") != "true") {
            throw ServiceError(kBadRequest, "Copying files is not supported");
        }
        ContentList removed;
        FileRow row =
            sv.tree.moveFile(accessFor(sv, c, "src_sharing_id"), c.required("src_file_id"),
                             accessFor(sv, c, "dst_sharing_id"), c.required("dst_folder_id"),
                             c.param("new_file_name"),
                             c.param("overwrite_if_exists").value_or("") == "true", &removed);
        removeContent(sv, removed);
        c.answer = fileJson(row);
    });
    router.add("DELETE", "file.json", Rule::Verified, [&sv](ApiCall& c) {
        ContentList removed;
        int64_t stamp = sv.tree.deleteFile(accessFor(sv, c), c.arg(0, "file id"), &removed);
        removeContent(sv, removed);
        c.answer = {{"DirUpdateTime", stamp}};
    });
    router.add("POST", "file/trash.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"DirUpdateTime", sv.tree.trashFile(accessFor(sv, c), c.required("file_id"))}};
    });
    router.add("POST", "file/restore.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = fileJson(sv.tree.restoreFile(accessFor(sv, c), c.required("file_id")));
    });
    router.add("PUT", "file/filesettings.json", Rule::Verified, [&sv](ApiCall& c) {
        FileRow row = sv.tree.fileInfo(accessFor(sv, c), c.required("file_id"));
        c.answer = {{"FileId", std::to_string(row.id)}, {"result", 1}};
    });
    router.add("GET", "file/thumb.json", Rule::Verified, [&sv](ApiCall& c) {
        FileRow row = sv.tree.fileInfo(accessFor(sv, c), c.arg(0, "file id"));
        if (!isPicture(row.name))
            throw ServiceError(kBadRequest, "No thumbnail for this file");
        c.raw = true;
        c.response->status = 200;
        c.response->set_content(reinterpret_cast<const char*>(kThumbnail), sizeof kThumbnail,
                                "image/png");
    });
    router.add("GET", "download/file.json", Rule::Verified, [&sv](ApiCall& c) { download(sv, c); });
}

}  // namespace bvserver
