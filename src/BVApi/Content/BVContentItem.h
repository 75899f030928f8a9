#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "BVApi/Content/BVItemClass.h"
#include "platform/Data.h"

// Declares the class object of an item class: BVFileItem::itemClass() for the class,
// item->cls() for the dynamic class of an item.
#define BV_ITEM_CLASS()                       \
  public:                                     \
    static const BVItemClass& itemClass();    \
    const BVItemClass& cls() const override { \
        return itemClass();                   \
    }

// A programming error in the use of items (for example inserting an item of the wrong kind
// into a listing): the exception named "BVContentItem" with its reason text.
class BVContentItemException : public std::logic_error {
  public:
    explicit BVContentItemException(const std::string& reason) : std::logic_error(reason) {}
    const char* name() const { return "BVContentItem"; }
    std::string reason() const { return what(); }
};

// Base of every record of the service and of every record the client keeps about the account.
// Items are plain values: fields are public, nothing locks; share them between threads with
// std::shared_ptr and do not change one that another thread reads.
class BVContentItem {
  public:
    BVContentItem() = default;
    virtual ~BVContentItem() = default;
    BVContentItem(const BVContentItem&) = delete;
    BVContentItem& operator=(const BVContentItem&) = delete;

    static const BVItemClass& itemClass();
    virtual const BVItemClass& cls() const { return itemClass(); }
    const std::string& className() const { return cls().name(); }
    bool isKindOf(const BVItemClass& c) const { return cls().isSubclassOf(c); }

    // Builds an item of class T from an answer dictionary, or nothing (see BVItemClass).
    template <class T>
    static std::shared_ptr<T> itemWithDict(const nlohmann::json& dict, bv::Error* error = nullptr) {
        return std::static_pointer_cast<T>(T::itemClass().itemWithDict(dict, error));
    }

    // Equality of items: two files are equal when their names are equal, two folders likewise,
    // any other pair when their identifiers are equal.
    virtual bool isEqualTo(const BVContentItem& other) const;

    // One line for logs.
    virtual std::string description() const;

    // Keyed archive: "timeReceived" and every field of the class's encodeArray, by name.
    nlohmann::json archiveObject() const;
    bv::Data archivedData() const;

    // The item held in an archive, or nothing when the bytes are damaged, the class is unknown
    // or not of class expected (when given), or a field has the wrong type. Never throws.
    static BVItemRef unarchive(const bv::Data& data, const BVItemClass* expected = nullptr);
    static BVItemRef fromArchiveObject(const nlohmann::json& object,
                                       const BVItemClass* expected = nullptr);
    template <class T>
    static std::shared_ptr<T> unarchiveAs(const bv::Data& data) {
        return std::static_pointer_cast<T>(unarchive(data, &T::itemClass()));
    }

    // Field access by name, as the class's field table allows; get answers monostate for an
    // unknown name, set answers false for an unknown name or a value of the wrong kind.
    BVValue valueForField(std::string_view name) const;
    bool setValueForField(std::string_view name, BVValue value);

    std::string identifier;
    double timeReceived = 0;

  protected:
    // "<ClassName: 0x...>", the start of every description.
    std::string baseDescription() const;
};
