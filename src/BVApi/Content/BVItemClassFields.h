#pragma once

// Typed access behind BVItemClass::field<&Class::member>(name). Included by BVItemClass.h.

#include <atomic>
#include <type_traits>
#include <utility>

template <class M>
struct BVMemberTraits;
template <class C, class T>
struct BVMemberTraits<T C::*> {
    using Class = C;
    using Type = T;
};

template <class T>
struct BVFieldTraits;

template <BVFieldKind K, class T>
struct BVPlainFieldTraits {
    static constexpr BVFieldKind kind = K;
    static constexpr const BVItemClass* (*elementClass)() = nullptr;
    static BVValue toValue(const T& v) { return BVValue(std::in_place_type<T>, v); }
    static void fromValue(T& v, BVValue&& value) {
        if (auto* p = std::get_if<T>(&value))
            v = std::move(*p);
    }
};

template <>
struct BVFieldTraits<std::string> : BVPlainFieldTraits<BVFieldKind::Text, std::string> {};
template <>
struct BVFieldTraits<nlohmann::json> : BVPlainFieldTraits<BVFieldKind::Json, nlohmann::json> {};
template <>
struct BVFieldTraits<int64_t> : BVPlainFieldTraits<BVFieldKind::Integer, int64_t> {};
template <>
struct BVFieldTraits<bool> : BVPlainFieldTraits<BVFieldKind::Bool, bool> {};
template <>
struct BVFieldTraits<double> : BVPlainFieldTraits<BVFieldKind::Date, double> {};
template <>
struct BVFieldTraits<bv::Data> : BVPlainFieldTraits<BVFieldKind::Bytes, bv::Data> {};
template <>
struct BVFieldTraits<BVXattrMap> : BVPlainFieldTraits<BVFieldKind::Xattrs, BVXattrMap> {};

template <>
struct BVFieldTraits<std::atomic<int64_t>> {
    static constexpr BVFieldKind kind = BVFieldKind::Integer;
    static constexpr const BVItemClass* (*elementClass)() = nullptr;
    static BVValue toValue(const std::atomic<int64_t>& v) { return BVValue(int64_t(v.load())); }
    static void fromValue(std::atomic<int64_t>& v, BVValue&& value) {
        if (auto* p = std::get_if<int64_t>(&value))
            v.store(*p);
    }
};

// Arrays of items keep their element type; the class object checks every element's class
// before a value reaches the setter, so the downcast is safe.
template <class X>
struct BVFieldTraits<std::vector<std::shared_ptr<X>>> {
    static constexpr BVFieldKind kind = BVFieldKind::Items;
    static const BVItemClass* elementClass() { return &X::itemClass(); }
    static BVValue toValue(const std::vector<std::shared_ptr<X>>& v) {
        return BVValue(BVItemArray(v.begin(), v.end()));
    }
    static void fromValue(std::vector<std::shared_ptr<X>>& v, BVValue&& value) {
        auto* items = std::get_if<BVItemArray>(&value);
        if (!items)
            return;
        v.clear();
        v.reserve(items->size());
        for (auto& item : *items)
            v.push_back(std::static_pointer_cast<X>(std::move(item)));
    }
};

template <auto Member>
BVField BVItemClass::field(std::string name) {
    using C = typename BVMemberTraits<decltype(Member)>::Class;
    using T = typename BVMemberTraits<decltype(Member)>::Type;
    using Traits = BVFieldTraits<T>;
    BVField f;
    f.name = std::move(name);
    f.kind = Traits::kind;
    f.get = [](const BVContentItem& item) -> BVValue {
        return Traits::toValue(static_cast<const C&>(item).*Member);
    };
    f.set = [](BVContentItem& item, BVValue&& value) {
        Traits::fromValue(static_cast<C&>(item).*Member, std::move(value));
    };
    f.elementClass = Traits::elementClass;
    return f;
}
