#include "BVApi/Content/BVContentItem.h"

#include <cstdio>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "platform/KeyedArchive.h"

using json = nlohmann::json;
using bv::KeyedArchive;

namespace {

constexpr const char* kTimeReceivedKey = "timeReceived";

json encodeValue(const BVValue& value) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return nullptr;
            } else if constexpr (std::is_same_v<T, bv::Data>) {
                return KeyedArchive::bytesValue(v);
            } else if constexpr (std::is_same_v<T, BVItemArray>) {
                json array = json::array();
                for (const auto& item : v) {
                    if (item)
                        array.push_back(item->archiveObject());
                }
                return array;
            } else if constexpr (std::is_same_v<T, BVXattrMap>) {
                json byPath = json::object();
                for (const auto& [path, attrs] : v) {
                    json byName = json::object();
                    for (const auto& [name, data] : attrs) {
                        byName[name] = KeyedArchive::bytesValue(data);
                    }
                    byPath[path] = std::move(byName);
                }
                return byPath;
            } else {
                return json(v);
            }
        },
        value);
}

std::optional<BVXattrMap> decodeXattrs(const json& v) {
    if (!v.is_object())
        return std::nullopt;
    BVXattrMap map;
    for (const auto& [path, attrs] : v.items()) {
        if (!attrs.is_object())
            return std::nullopt;
        auto& byName = map[path];
        for (const auto& [name, bytes] : attrs.items()) {
            auto data = KeyedArchive::dataFrom(bytes);
            if (!data)
                return std::nullopt;
            byName.emplace(name, std::move(*data));
        }
    }
    return map;
}

// The field's value from its archived form; monostate when the archived value has another
// type.
BVValue decodeValue(const BVField& f, const json& v) {
    switch (f.kind) {
        case BVFieldKind::Text:
            if (!v.is_string())
                return {};
            return BVValue(v.get<std::string>());
        case BVFieldKind::Json:
            if (v.is_binary())
                return {};
            return BVValue(v);
        case BVFieldKind::Integer:
            if (v.is_number_integer() &&
                !(v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(INT64_MAX))) {
                return BVValue(v.get<int64_t>());
            }
            return {};
        case BVFieldKind::Bool:
            if (!v.is_boolean())
                return {};
            return BVValue(v.get<bool>());
        case BVFieldKind::Date:
            if (!v.is_number())
                return {};
            return BVValue(v.get<double>());
        case BVFieldKind::Bytes: {
            auto data = KeyedArchive::dataFrom(v);
            if (!data)
                return {};
            return BVValue(std::move(*data));
        }
        case BVFieldKind::Items: {
            if (!v.is_array())
                return {};
            BVItemArray items;
            items.reserve(v.size());
            for (const auto& element : v) {
                auto item = BVContentItem::fromArchiveObject(element, f.elementClass());
                if (!item)
                    return {};
                items.push_back(std::move(item));
            }
            return BVValue(std::move(items));
        }
        case BVFieldKind::Xattrs: {
            auto map = decodeXattrs(v);
            if (!map)
                return {};
            return BVValue(std::move(*map));
        }
    }
    return {};
}

BVItemRef decodeObject(const json& object, const BVItemClass* expected) {
    const std::string* name = KeyedArchive::className(object);
    if (!name)
        return nullptr;
    const BVItemClass* cls = BVItemClass::named(*name);
    if (!cls || (expected && !cls->isSubclassOf(*expected)))
        return nullptr;
    BVItemRef item = cls->create();
    if (auto it = object.find(kTimeReceivedKey); it != object.end()) {
        if (!it->is_number())
            return nullptr;
        item->timeReceived = it->get<double>();
    }
    for (const auto& fieldName : cls->encodeArray()) {
        auto it = object.find(fieldName);
        if (it == object.end())
            continue;
        const BVField* f = cls->fieldNamed(fieldName);
        BVValue value = decodeValue(*f, *it);
        if (std::holds_alternative<std::monostate>(value))
            return nullptr;
        f->set(*item, std::move(value));
    }
    return item;
}

}  // namespace

const BVItemClass& BVContentItem::itemClass() {
    static const BVItemClass cls({
        .name = "BVContentItem",
        .superclass = nullptr,
        .create = [] { return BVItemRef(std::make_shared<BVContentItem>()); },
        .fields = {BVItemClass::field<&BVContentItem::identifier>("identifier"),
                   BVItemClass::field<&BVContentItem::timeReceived>("timeReceived")},
        .mapping = std::vector<BVKeyMapping>{},
        .encodeArray = std::vector<std::string>{},
    });
    return cls;
}

bool BVContentItem::isEqualTo(const BVContentItem& other) const {
    const auto& file = BVFileItem::itemClass();
    if (isKindOf(file) && other.isKindOf(file)) {
        return static_cast<const BVFileItem&>(*this).name ==
               static_cast<const BVFileItem&>(other).name;
    }
    const auto& folder = BVFolderItem::itemClass();
    if (isKindOf(folder) && other.isKindOf(folder)) {
        return static_cast<const BVFolderItem&>(*this).name ==
               static_cast<const BVFolderItem&>(other).name;
    }
    return identifier == other.identifier;
}

std::string BVContentItem::baseDescription() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return "<" + className() + ": " + address + ">";
}

std::string BVContentItem::description() const {
    return baseDescription();
}

json BVContentItem::archiveObject() const {
    const BVItemClass& c = cls();
    json object = KeyedArchive::makeObject(c.name());
    object[kTimeReceivedKey] = timeReceived;
    for (const auto& fieldName : c.encodeArray()) {
        const BVField* f = c.fieldNamed(fieldName);
        object[fieldName] = encodeValue(f->get(*this));
    }
    return object;
}

bv::Data BVContentItem::archivedData() const {
    return KeyedArchive::encode(archiveObject());
}

BVItemRef BVContentItem::fromArchiveObject(const json& object, const BVItemClass* expected) {
    try {
        return decodeObject(object, expected);
    } catch (const std::exception&) {
        return nullptr;
    }
}

BVItemRef BVContentItem::unarchive(const bv::Data& data, const BVItemClass* expected) {
    auto object = KeyedArchive::decode(data);
    if (!object)
        return nullptr;
    return fromArchiveObject(*object, expected);
}

BVValue BVContentItem::valueForField(std::string_view name) const {
    const BVField* f = cls().fieldNamed(name);
    return f ? f->get(*this) : BVValue();
}

bool BVContentItem::setValueForField(std::string_view name, BVValue value) {
    const BVField* f = cls().fieldNamed(name);
    if (!f)
        return false;
    static constexpr size_t kIndexOfKind[] = {1, 2, 3, 4, 5, 6, 7, 8};
    if (value.index() != kIndexOfKind[size_t(f->kind)])
        return false;
    if (f->kind == BVFieldKind::Items) {
        for (const auto& item : std::get<BVItemArray>(value)) {
            if (!item || !item->isKindOf(*f->elementClass()))
                return false;
        }
    }
    f->set(*this, std::move(value));
    return true;
}
