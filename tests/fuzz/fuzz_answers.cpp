// Fuzz target for the client's answer-to-item conversion: hostile answers must never crash,
// recurse without bound or yield an item that cannot be stored; whatever is built must
// archive and come back as itself, and listings must hold only entries a volume can show.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "BVApi/Content/BVContentItem.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVItemNames.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "platform/BoundedJson.h"

namespace {

void checkAt(bool condition, const char* what, int line) {
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_answers.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}
#define check(condition) checkAt((condition), #condition, __LINE__)

void checkListing(const BVFolderListItem& listing) {
    for (const auto& folder : listing.folders) {
        check(BVItemNames::isUsableName(folder->name));
        check(!BVItemNames::isFixedFolderIdentifier(folder->identifier));
        check(listing.itemNamed(folder->name) != nullptr);
    }
    for (const auto& file : listing.files) {
        check(BVItemNames::isUsableName(file->name));
        check(!BVItemNames::isFixedFolderIdentifier(file->identifier));
        check(file->size >= 0);
        check(listing.containsItemNamed(file->name));
    }
    check(listing.itemNames().size() == listing.combinedItems().size());
}

void convert(const BVItemClass& cls, const nlohmann::json& answer) {
    BVItemRef item = cls.itemWithDict(answer);
    if (!item)
        return;
    check(item->isKindOf(cls));
    (void)item->description();
    if (item->isKindOf(BVFolderListItem::itemClass()))
        checkListing(static_cast<const BVFolderListItem&>(*item));

    const bv::Data archive = item->archivedData();
    check(!archive.empty());
    BVItemRef restored = BVContentItem::unarchive(archive, &cls);
    check(restored != nullptr);
    check(restored->archivedData() == archive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto answer =
        bv::BoundedJson::parse(text, bv::BoundedJson::Format::Text, BVApiRequest::kMaxAnswerDepth);
    if (!answer)
        return 0;
    check(!bv::BoundedJson::isDeeperThan(*answer, BVApiRequest::kMaxAnswerDepth));
    for (const BVItemClass* cls : BVItemClass::allClasses())
        convert(*cls, *answer);
    return 0;
}
