#include "BVApi/Content/BVFileItems.h"

#include "BVApi/Content/BVValueConverter.h"
#include "platform/Format.h"

using C = BVItemClass;

namespace {

// The integer reading of the size; a negative size is no size, and the file is refused.
BVValue nonNegativeSize(const nlohmann::json* raw) {
    const int64_t size = BVValueConverter::integer(raw);
    return size < 0 ? BVValue() : BVValue(size);
}

// The keys every kind of file reads.
std::vector<BVKeyMapping> fileKeys() {
    return {{"identifier", "FileId"},
            {"name", "Name", BVConverter::Name},
            {.field = "size",
             .keyPath = "Size",
             .converter = BVConverter::Custom,
             .custom = &nonNegativeSize},
            {"dateModified", "DateModified", BVConverter::Date}};
}

std::vector<std::string> fileArchive() {
    return {"identifier", "name", "size", "requireCompression", "dateModified"};
}

template <class... Lists>
std::vector<std::string> joined(std::vector<std::string> head, const Lists&... tails) {
    (head.insert(head.end(), tails.begin(), tails.end()), ...);
    return head;
}

}  // namespace

const BVItemClass& BVFileItem::itemClass() {
    using T = BVFileItem;
    static const BVItemClass cls({
        .name = "BVFileItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::name>("name"), C::field<&T::size>("size"),
                   C::field<&T::requireCompression>("requireCompression"),
                   C::field<&T::dateModified>("dateModified")},
        .mapping =
            [] {
                auto keys = fileKeys();
                keys.push_back({"requireCompression", "RequireCompression", BVConverter::Integer});
                return keys;
            }(),
        .encodeArray = fileArchive(),
    });
    return cls;
}

std::string BVFileItem::description() const {
    return bv::format("%@ (name=%@, size=%@, id=%@)", baseDescription(), name, size, identifier);
}

const BVItemClass& BVSharedFileItem::itemClass() {
    using T = BVSharedFileItem;
    static const BVItemClass cls({
        .name = "BVSharedFileItem",
        .superclass = &BVFileItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::shareMode>("shareMode")},
        .mapping =
            [] {
                auto keys = fileKeys();
                keys.push_back({"shareMode", "ShareMode"});
                return keys;
            }(),
        .encodeArray = joined(fileArchive(), std::vector<std::string>{"shareMode"}),
    });
    return cls;
}

const BVItemClass& BVFileInfoItem::itemClass() {
    using T = BVFileInfoItem;
    static const BVItemClass cls({
        .name = "BVFileInfoItem",
        .superclass = &BVFileItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::path>("path"), C::field<&T::link>("link"),
                   C::field<&T::downloadLink>("downloadLink"),
                   C::field<&T::streamingLink>("streamingLink"),
                   C::field<&T::fileDescription>("fileDescription"), C::field<&T::price>("price"),
                   C::field<&T::access>("access")},
        .mapping =
            [] {
                auto keys = fileKeys();
                keys.insert(keys.end(), {{"link", "Link"},
                                         {"downloadLink", "DownloadLink"},
                                         {"streamingLink", "StreamingLink"},
                                         {"access", "Access"},
                                         {"fileDescription", "Description"}});
                return keys;
            }(),
        .encodeArray = joined(
            fileArchive(), std::vector<std::string>{"path", "link", "downloadLink", "streamingLink",
                                                    "fileDescription", "price", "access"}),
    });
    return cls;
}

const BVItemClass& BVFileThumbnailItem::itemClass() {
    using T = BVFileThumbnailItem;
    static const BVItemClass cls({
        .name = "BVFileThumbnailItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::data>("data")},
        .mapping = std::vector<BVKeyMapping>{},
        .encodeArray = std::vector<std::string>{"identifier", "data"},
    });
    return cls;
}
