#pragma once

#include <mutex>
#include <string_view>

#include "BVApi/Content/BVContentItem.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"

// The listing of one folder: its subfolders and files. The listing owns its entries.
class BVFolderListItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;

    // The folders followed by the files.
    BVItemArray combinedItems() const;
    // The names of the folders followed by the names of the files.
    std::vector<std::string> itemNames() const;
    // The first folder, else the first file, whose name equals name once both are
    // lower-cased; nullptr when none. Large listings answer from a name index built on the
    // first lookup, so a lookup does not compare every name.
    BVItemRef itemNamed(std::string_view name) const;
    bool containsItemNamed(std::string_view name) const { return itemNamed(name) != nullptr; }

    // Adds a file (to files) or a folder (to folders) at the end, after removing every entry
    // of that array equal to it. Throws BVContentItemException for any other kind of item.
    void insertItem(const BVItemRef& item);
    // Removes that very object from files or folders. Throws BVContentItemException for any
    // other kind of item.
    void removeItem(const BVItemRef& item);
    // Removes every file, then every folder, whose name equals name exactly.
    void removeItemNamed(std::string_view name);
    // Removes every file, then every folder, with that identifier.
    void removeItemWithIdentifier(std::string_view identifier);
    // Puts replacement (a file for a file, a folder for a folder) where that very object is.
    // Throws BVContentItemException for any other pair.
    void replaceItem(const BVItemRef& old, const BVItemRef& replacement);
    // Lets this listing, just copied from original and holding the very same entries, start
    // from original's name index instead of building its own; the members above then keep
    // it current. Nothing happens when the entries differ or original has no index.
    void adoptNameIndexOf(const BVFolderListItem& original);

    bool isEncrypted() const { return encrypted != 0; }

    // The members above drop the name index when they change the arrays, and a lookup
    // notices arrays that were replaced or resized. Code that renames an entry or replaces
    // an entry in place must call this before the next lookup.
    void invalidateNameIndex() const;

    int64_t updateTime = 0;
    std::string name;  // as sent, not decomposed
    std::string path;
    std::string parentFolderId;
    std::string directFolderLink;  // kept empty
    nlohmann::json responseType;   // as sent
    std::vector<std::shared_ptr<BVFileItem>> files;
    std::vector<std::shared_ptr<BVFolderItem>> folders;
    int64_t encrypted = 0;

    // What the service's answer held that this listing leaves out (entries with unusable
    // names or identifiers, or that could not be built): their count, and the names of those
    // that had one, as sent. Only the listing made from the answer knows; neither is stored
    // or copied.
    size_t leftOutEntries = 0;
    std::vector<std::string> leftOutNames;

  private:
    struct NameIndex;
    std::shared_ptr<const NameIndex> nameIndex() const;
    // The index to change along with the arrays (a copy of its own when a reader holds it);
    // nullptr when there is none or it no longer fits the arrays. Called with the lock held.
    NameIndex* editableNameIndexLocked();
    // Records the arrays' new shape in index, or drops it when its changes have piled up.
    void keepNameIndexLocked(NameIndex* index);
    BVItemRef scanForItemNamed(std::string_view lowered) const;

    mutable std::mutex nameIndexLock_;  // guards nameIndex_
    mutable std::shared_ptr<NameIndex> nameIndex_;
};

// The listing of the folders shared with the user.
class BVSharedFolderListItem : public BVFolderListItem {
    BV_ITEM_CLASS()
};

// The listing of the trash.
class BVTrashFolderListItem : public BVFolderListItem {
    BV_ITEM_CLASS()
};

// The users who share with this user, each as a folder.
class BVSharedUsersFolderListItem : public BVFolderListItem {
    BV_ITEM_CLASS()
};

// An empty placeholder stored when a folder's listing could not be fetched.
class BVStubFolderListItem : public BVFolderListItem {
    BV_ITEM_CLASS()
};
