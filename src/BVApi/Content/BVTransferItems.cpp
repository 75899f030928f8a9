#include "BVApi/Content/BVTransferItems.h"

#include "platform/Format.h"

using C = BVItemClass;

namespace {

// A JSON value as "%@" shows it: texts without quotes.
std::string textOf(const nlohmann::json& v) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_null())
        return "(null)";
    return v.dump();
}

}  // namespace

const BVItemClass& BVBinaryDataDescriptorItem::itemClass() {
    using T = BVBinaryDataDescriptorItem;
    static const BVItemClass cls({
        .name = "BVBinaryDataDescriptorItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::encrypted>("encrypted"),
                   C::field<&T::completedBytes>("completedBytes"),
                   C::field<&T::totalBytes>("totalBytes"), C::field<&T::path>("path")},
        .mapping = std::vector<BVKeyMapping>{},
        .encodeArray = std::vector<std::string>{"identifier", "completedBytes", "totalBytes",
                                                "path", "encrypted"},
    });
    return cls;
}

bool BVBinaryDataDescriptorItem::isBytesReady(int64_t length) const {
    const int64_t completed = completedBytes.load();
    const int64_t total = totalBytes.load();
    return completed >= length || (total != 0 && total == completed);
}

std::string BVBinaryDataDescriptorItem::description() const {
    return bv::format("%@ (id=%@, completed=%@, total=%@)", baseDescription(), identifier,
                      completedBytes.load(), totalBytes.load());
}

const BVItemClass& BVUploadFileHandle::itemClass() {
    using T = BVUploadFileHandle;
    static const BVItemClass cls({
        .name = "BVUploadFileHandle",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::tempLocation>("tempLocation"),
                   C::field<&T::requireHash>("requireHash"),
                   C::field<&T::requireHashOnly>("requireHashOnly"), C::field<&T::path>("path"),
                   C::field<&T::isUploading>("isUploading"), C::field<&T::size>("size")},
        .mapping = std::vector<BVKeyMapping>{{"tempLocation", "TempLocation"},
                                             {"requireHash", "RequireHash"},
                                             {"requireHashOnly", "RequireHashOnly"}},
        .encodeArray = std::vector<std::string>{"identifier", "isUploading", "path", "tempLocation",
                                                "requireHash", "requireHashOnly"},
    });
    return cls;
}

std::string BVUploadFileHandle::description() const {
    return bv::format("%@ (id=%@, path=%@, temp=%@)", baseDescription(), identifier, path,
                      tempLocation);
}

const BVItemClass& BVChunkUploadResult::itemClass() {
    using T = BVChunkUploadResult;
    static const BVItemClass cls({
        .name = "BVChunkUploadResult",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::bytesWritten>("bytesWritten")},
        .mapping = std::vector<BVKeyMapping>{{"bytesWritten", "TotalWritten"}},
        .encodeArray = std::vector<std::string>{},
    });
    return cls;
}

std::string BVChunkUploadResult::description() const {
    return bv::format("%@ (bytesWritten=%@)", baseDescription(), textOf(bytesWritten));
}
