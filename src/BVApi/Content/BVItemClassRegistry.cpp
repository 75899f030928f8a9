#include "BVApi/Content/BVAnonymousItem.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVItemClass.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"

const std::vector<const BVItemClass*>& BVItemClass::allClasses() {
    static const std::vector<const BVItemClass*> classes{
        &BVContentItem::itemClass(),
        &BVSynchedItem::itemClass(),
        &BVSharedXAttrs::itemClass(),
        &BVAnonymousItem::itemClass(),
        &BVUserSessionItem::itemClass(),
        &BVUserInfoItem::itemClass(),
        &BVUserLinksItem::itemClass(),
        &BVNotificationsItem::itemClass(),
        &BVSharingUserItem::itemClass(),
        &BVSharingUsersItem::itemClass(),
        &BVFileItem::itemClass(),
        &BVSharedFileItem::itemClass(),
        &BVFileInfoItem::itemClass(),
        &BVFileThumbnailItem::itemClass(),
        &BVFolderItem::itemClass(),
        &BVSharedFolderItem::itemClass(),
        &BVFolderInfoItem::itemClass(),
        &BVFolderListItem::itemClass(),
        &BVSharedFolderListItem::itemClass(),
        &BVTrashFolderListItem::itemClass(),
        &BVSharedUsersFolderListItem::itemClass(),
        &BVStubFolderListItem::itemClass(),
        &BVFSIdItem::itemClass(),
        &BVFolderFSIdItem::itemClass(),
        &BVBinaryDataDescriptorItem::itemClass(),
        &BVUploadFileHandle::itemClass(),
        &BVChunkUploadResult::itemClass(),
    };
    return classes;
}

const BVItemClass* BVItemClass::named(std::string_view name) {
    for (const BVItemClass* c : allClasses()) {
        if (c->name() == name)
            return c;
    }
    return nullptr;
}
