#include "Answers.h"
#include "ApiRouter.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
using Rule = ApiRouter::SessionRule;

// Chunks at least this large start their write-back before the close.
constexpr int64_t kEarlyWriteBackBytes = 1 << 20;

nlohmann::json handleJson(const std::string& fileId, const std::string& temp) {
    return {{"FileId", fileId}, {"TempLocation", temp}, {"RequireHash", 0}, {"RequireHashOnly", 0}};
}

void uploadChunk(Services& sv, ApiCall& c) {
    FileRow file = sv.tree.fileForUpload(accessFor(sv, c), c.arg(0, "file id"));
    std::string temp = c.required("temp_location");
    int64_t offset = c.requiredInteger("chunk_offset");
    std::optional<int64_t> declared = c.integer("chunk_size");
    if (!c.http->is_multipart_form_data())
        throw ServiceError(kBadRequest, "Malformed multipart body");

    // The finished file replaces the current content, whose bytes are free to take.
    int64_t room = sv.tree.storageFree(file.owner) + file.size;
    auto [bytes, limit] =
        sv.uploads.beginChunk(temp, file.id, c.session.userId, offset, room, declared);
    int64_t written = 0;
    bool sawData = false, inData = false, ioFailed = false, full = false;
    c.bodyRead = true;
    bool parsed = (*c.reader)(
        [&](const httplib::MultipartFormData& part) {
            inData = part.name == "file_data";
            sawData = sawData || inData;
            return true;
        },
        [&](const char* data, size_t len) {
            if (!inData)
                return true;
            if (static_cast<int64_t>(len) > limit - written) {
                full = true;
                return false;
            }
            if (!bytes->write(offset + written, data, len)) {
                ioFailed = true;
                return false;
            }
            written += static_cast<int64_t>(len);
            return true;
        });
    // The close flushes the upload before answering; starting the chunk's write-back now
    // lets the disk work while the client sends the next chunk or the close, so that flush
    // has less left to wait for. Only a hint: nothing depends on it succeeding. A small
    // chunk gains nothing from it (the close follows at once and flushes it with the rest),
    // and for thousands of small files the hint was a third of the time a chunk took here.
    if (sv.limits.syncContents && written >= kEarlyWriteBackBytes)
        bytes->startWriteBack(offset, written);
    bytes->endWrites();
    bool good = parsed && sawData && !ioFailed && (!declared || *declared == written);
    sv.uploads.endChunk(temp, written, good);
    if (full) {
        c.response->set_header("Connection", "close");
        throw ServiceError(kStorageFull, msg::kStorageFull);
    }
    if (ioFailed)
        throw ServiceError(kInternal, "Cannot store the chunk");
    if (!parsed)
        c.response->set_header("Connection", "close");
    if (!parsed || !sawData)
        throw ServiceError(kBadRequest, "Malformed multipart body");
    if (!good) {
        throw ServiceError(kBadRequest, "Chunk size mismatch: received=" + std::to_string(written) +
                                            ", declared=" + std::to_string(*declared));
    }
    c.answer = {{"TotalWritten", written}};
}

void closeUpload(Services& sv, ApiCall& c) {
    FileRow file = sv.tree.fileForUpload(accessFor(sv, c), c.required("file_id"));
    std::string temp = c.required("temp_location");
    int64_t size = c.requiredInteger("file_size");
    int64_t time = c.integer("file_time").value_or(nowSeconds());
    auto [received, bytes] = sv.uploads.beginClose(temp, file.id, c.session.userId);
    bool moved = false;
    try {
        if (size != received) {
            throw ServiceError(kBadRequest,
                               "File size mismatch: uploaded=" + std::to_string(received) +
                                   ", expected=" + std::to_string(size));
        }
        // A failed chunk may have left bytes past the accepted end.
        bytes->truncate(received);
        int64_t rev = sv.content.newRevision();
        sv.content.commit(*bytes, file.id, rev);
        moved = true;
        int64_t oldRev = 0;
        FileRow row;
        try {
            row = sv.tree.commitContent(file.id, size, time, rev, &oldRev);
        } catch (...) {
            sv.content.remove(file.id, rev);
            throw;
        }
        sv.content.remove(file.id, oldRev);
        sv.uploads.endClose(temp, true);
        c.answer = fileJson(row);
    } catch (...) {
        sv.uploads.endClose(temp, moved);
        throw;
    }
}
}  // namespace

void registerUploadHandlers(ApiRouter& router, Services& sv) {
    router.add("POST", "upload/create_file.json", Rule::Verified, [&sv](ApiCall& c) {
        FileRow row = sv.tree.createFile(accessFor(sv, c), c.required("folder_id"),
                                         c.required("file_name"), c.requiredInteger("file_size"));
        std::string temp = sv.uploads.open(row.id, c.session.userId, row.owner);
        c.answer = fileJson(row);
        c.answer.update(handleJson(std::to_string(row.id), temp));
    });
    router.add("POST", "upload/open_file_upload.json", Rule::Verified, [&sv](ApiCall& c) {
        FileRow row = sv.tree.fileForUpload(accessFor(sv, c), c.required("file_id"));
        c.answer = handleJson(std::to_string(row.id),
                              sv.uploads.open(row.id, c.session.userId, row.owner));
    });
    router.add("POST", "upload/upload_file_chunk2.json", Rule::Verified,
               [&sv](ApiCall& c) { uploadChunk(sv, c); });
    router.add("POST", "upload/close_file_upload.json", Rule::Verified,
               [&sv](ApiCall& c) { closeUpload(sv, c); });
}

}  // namespace bvserver
