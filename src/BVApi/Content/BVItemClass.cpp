#include "BVApi/Content/BVItemClass.h"

#include <stdexcept>

#include "BVApi/Content/BVContentItem.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVValueConverter.h"

using json = nlohmann::json;

namespace {

// Which field kinds each converter can fill.
bool converterFits(BVConverter c, BVFieldKind k) {
    switch (c) {
        case BVConverter::AsSent:
            return k == BVFieldKind::Text || k == BVFieldKind::Json;
        case BVConverter::Integer:
        case BVConverter::IntFlag:
            return k == BVFieldKind::Integer;
        case BVConverter::Date:
            return k == BVFieldKind::Date;
        case BVConverter::Name:
            return k == BVFieldKind::Text;
        case BVConverter::Flag:
            return k == BVFieldKind::Bool || k == BVFieldKind::Integer;
        case BVConverter::Items:
            return k == BVFieldKind::Items;
        case BVConverter::Custom:
            return true;
    }
    return false;
}

}  // namespace

BVItemClass::BVItemClass(Spec spec)
    : name_(std::move(spec.name)),
      superclass_(spec.superclass),
      create_(spec.create),
      build_(spec.build),
      finish_(spec.finish ? spec.finish : (superclass_ ? superclass_->finish_ : nullptr)) {
    if (superclass_)
        fields_ = superclass_->fields_;
    for (auto& f : spec.fields)
        fields_.push_back(std::move(f));
    mapping_ = spec.mapping ? std::move(*spec.mapping)
                            : (superclass_ ? superclass_->mapping_ : std::vector<BVKeyMapping>{});
    encodeArray_ = spec.encodeArray
                       ? std::move(*spec.encodeArray)
                       : (superclass_ ? superclass_->encodeArray_ : std::vector<std::string>{});

    // A table that names a field the class lacks is a programming error; fail loudly at the
    // first use of the class rather than lose data silently.
    for (const auto& m : mapping_) {
        const BVField* f = fieldNamed(m.field);
        if (!f || !converterFits(m.converter, f->kind) ||
            (m.converter == BVConverter::Items && !m.elementClass) ||
            (m.converter == BVConverter::Custom && !m.custom)) {
            throw std::logic_error(name_ + ": bad mapping of field " + m.field);
        }
        resolved_.push_back({&m, f});
    }
    for (const auto& n : encodeArray_) {
        if (!fieldNamed(n))
            throw std::logic_error(name_ + ": archives unknown field " + n);
    }
}

bool BVItemClass::isSubclassOf(const BVItemClass& other) const {
    for (const BVItemClass* c = this; c; c = c->superclass_) {
        if (c == &other)
            return true;
    }
    return false;
}

const BVField* BVItemClass::fieldNamed(std::string_view name) const {
    for (const auto& f : fields_) {
        if (f.name == name)
            return &f;
    }
    return nullptr;
}

BVValue BVItemClass::convert(const BVKeyMapping& m, const BVField& f, const json* raw) const {
    const json* v = BVValueConverter::isPresent(raw) ? raw : nullptr;
    switch (m.converter) {
        case BVConverter::AsSent:
            if (!v)
                return {};
            // Nested values are refused: what is kept as sent is archived and compared, and
            // a service that nests where a scalar belongs is not to be trusted with depth.
            if (f.kind == BVFieldKind::Json)
                return v->is_primitive() ? BVValue(*v) : BVValue();
            if (auto t = BVValueConverter::text(v))
                return BVValue(std::move(*t));
            return {};
        case BVConverter::Integer:
            return BVValue(BVValueConverter::integer(v));
        case BVConverter::Date:
            return BVValue(double(BVValueConverter::integer(v)));
        case BVConverter::Name: {
            auto t = BVValueConverter::text(v);
            if (!t)
                return {};
            BVUnicodeNames::decomposeInPlace(*t);
            return BVValue(std::move(*t));
        }
        case BVConverter::Flag:
            if (f.kind == BVFieldKind::Integer)
                return BVValue(int64_t(BVValueConverter::flag(v)));
            return BVValue(BVValueConverter::flag(v));
        case BVConverter::IntFlag:
            return BVValue(int64_t(BVValueConverter::integer32(v)));
        case BVConverter::Items: {
            BVItemArray items;
            if (!v || !v->is_array())
                return BVValue(std::move(items));
            const BVItemClass& element = *m.elementClass();
            items.reserve(v->size());
            for (const auto& entry : *v) {
                if (auto item = element.itemWithDict(entry)) {
                    items.push_back(std::move(item));
                } else if (m.allElementsRequired) {
                    return {};
                }
            }
            return BVValue(std::move(items));
        }
        case BVConverter::Custom:
            return m.custom(v);
    }
    return {};
}

BVItemRef BVItemClass::itemWithDict(const json& dict, bv::Error*) const {
    if (!dict.is_object())
        return nullptr;
    if (build_)
        return build_(dict);
    BVItemRef item = create();
    for (const auto& r : resolved_) {
        BVValue value = convert(*r.mapping, *r.field,
                                BVValueConverter::valueAtKeyPath(dict, r.mapping->keyPath));
        if (std::holds_alternative<std::monostate>(value))
            return nullptr;
        r.field->set(*item, std::move(value));
    }
    if (finish_)
        finish_(*item, dict);
    return item;
}

BVValue BVItemClass::parseValue(const json* raw, std::string_view field, bv::Error*) const {
    for (const auto& r : resolved_) {
        if (r.mapping->field == field)
            return convert(*r.mapping, *r.field, raw);
    }
    if (superclass_)
        return superclass_->parseValue(raw, field);
    if (!BVValueConverter::isPresent(raw))
        return {};
    return BVValue(*raw);
}
