#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Data.h"
#include "platform/Error.h"

class BVContentItem;
class BVItemClass;

using BVItemRef = std::shared_ptr<BVContentItem>;
using BVItemArray = std::vector<BVItemRef>;
// Extended attributes by path: path -> attribute name -> value.
using BVXattrMap = std::map<std::string, std::map<std::string, bv::Data>>;

// How a field holds its value. Each kind has one alternative of BVValue.
enum class BVFieldKind { Text, Json, Integer, Bool, Date, Bytes, Items, Xattrs };

// A field value in transit (answer conversion, archiving, get/set by name). The alternative
// matches the field's kind: Text std::string, Json nlohmann::json, Integer int64_t, Bool bool,
// Date double (seconds since 1970), Bytes bv::Data, Items BVItemArray, Xattrs BVXattrMap;
// monostate stands for no value.
using BVValue = std::variant<std::monostate, std::string, nlohmann::json, int64_t, bool, double,
                             bv::Data, BVItemArray, BVXattrMap>;

// How a raw answer value becomes a field value.
enum class BVConverter {
    AsSent,   // unchanged; a text field takes texts and numbers (as their decimal text), a
              // JSON field texts, numbers and booleans but no array or dictionary
    Integer,  // 64-bit integer reading of a number or a text of digits; absent gives 0
    Date,     // integer reading as seconds since 1970; absent gives 0
    Name,     // text in canonical decomposition (NFD)
    Flag,     // boolean reading; absent gives false
    IntFlag,  // 32-bit integer reading; absent gives 0
    Items,    // array of items of elementClass; absent gives an empty array
    Custom,   // the mapping's own function
};

// One named field of a class: its kind and typed access on an item of that class (or of a
// subclass). Built with BVItemClass::field<&Class::member>("name").
struct BVField {
    std::string name;
    BVFieldKind kind;
    BVValue (*get)(const BVContentItem&);
    void (*set)(BVContentItem&, BVValue&&);          // the value must be of the field's kind
    const BVItemClass* (*elementClass)() = nullptr;  // Items: the class every element has
};

// One pair of the class's field-to-key map.
struct BVKeyMapping {
    std::string field;
    std::string keyPath;  // "."-separated path into the answer dictionary
    BVConverter converter = BVConverter::AsSent;
    const BVItemClass* (*elementClass)() = nullptr;  // Items
    bool allElementsRequired = false;                // Items: one bad element fails the whole item
    // Custom: the field's value from the raw value (nullptr when missing), or monostate.
    BVValue (*custom)(const nlohmann::json* raw) = nullptr;
};

// The class object of an item class: its name, base, fields, key map, archive list and a
// factory. One static instance per class (BVFileItem::itemClass()); the registry finds them
// by name. Immutable once built, so shared freely between threads.
class BVItemClass {
  public:
    struct Spec {
        std::string name;
        const BVItemClass* superclass = nullptr;
        BVItemRef (*create)() = nullptr;
        std::vector<BVField> fields;                          // this class's own fields
        std::optional<std::vector<BVKeyMapping>> mapping;     // nullopt: inherit
        std::optional<std::vector<std::string>> encodeArray;  // nullopt: inherit
        // Replaces the key map for classes that keep the answer whole.
        BVItemRef (*build)(const nlohmann::json& dict) = nullptr;
        // Runs on an item the key map has filled, with the answer it came from; nullptr:
        // inherit.
        void (*finish)(BVContentItem& item, const nlohmann::json& dict) = nullptr;
    };
    explicit BVItemClass(Spec spec);
    BVItemClass(const BVItemClass&) = delete;
    BVItemClass& operator=(const BVItemClass&) = delete;

    const std::string& name() const { return name_; }
    const BVItemClass* superclass() const { return superclass_; }
    // True for this class and every class derived from other.
    bool isSubclassOf(const BVItemClass& other) const;

    const std::vector<BVKeyMapping>& mappingDict() const { return mapping_; }
    const std::vector<std::string>& encodeArray() const { return encodeArray_; }
    // Own and inherited fields, base class fields first.
    const std::vector<BVField>& fields() const { return fields_; }
    const BVField* fieldNamed(std::string_view name) const;

    // A new item with the class's creation defaults.
    BVItemRef create() const { return create_(); }

    // Builds an item from an answer dictionary with the key map; nothing when a key whose
    // converter cannot give a value is missing (or null), or the dictionary is not an object.
    // Never sets error.
    BVItemRef itemWithDict(const nlohmann::json& dict, bv::Error* error = nullptr) const;

    // The class's converter for one field: the value the field would take from raw (nullptr
    // for a missing key). A field without a mapping in this class answers raw unchanged as a
    // JSON value unless a base class converts it. monostate when the converter yields no value.
    BVValue parseValue(const nlohmann::json* raw, std::string_view field,
                       bv::Error* error = nullptr) const;

    // The class with that name, or nullptr.
    static const BVItemClass* named(std::string_view name);
    // Every item class.
    static const std::vector<const BVItemClass*>& allClasses();

    // A field descriptor for a data member: field<&BVFileItem::size>("size").
    template <auto Member>
    static BVField field(std::string name);

  private:
    struct ResolvedMapping {
        const BVKeyMapping* mapping;
        const BVField* field;
    };
    BVValue convert(const BVKeyMapping& m, const BVField& f, const nlohmann::json* raw) const;

    std::string name_;
    const BVItemClass* superclass_;
    BVItemRef (*create_)();
    BVItemRef (*build_)(const nlohmann::json&);
    void (*finish_)(BVContentItem&, const nlohmann::json&);
    std::vector<BVField> fields_;
    std::vector<BVKeyMapping> mapping_;
    std::vector<ResolvedMapping> resolved_;
    std::vector<std::string> encodeArray_;
};

#include "BVApi/Content/BVItemClassFields.h"

// Factory and class lookup as plain function pointers, for class tables.
template <class T>
BVItemRef bvCreateItem() {
    return std::make_shared<T>();
}
template <class T>
const BVItemClass* bvClassOf() {
    return &T::itemClass();
}
