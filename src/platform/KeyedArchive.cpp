#include "platform/KeyedArchive.h"

namespace bv {

namespace {

using json = nlohmann::json;

// Builds the value through the library's own DOM builder, but refuses to go deeper than
// kMaxDepth: the binary reader recurses once per nesting level, so hostile bytes made of
// nothing but "array of array of ..." would otherwise exhaust the stack.
class DepthLimitedBuilder {
  public:
    explicit DepthLimitedBuilder(json& root) : dom_(root, false) {}

    bool null() { return dom_.null(); }
    bool boolean(bool v) { return dom_.boolean(v); }
    bool number_integer(json::number_integer_t v) { return dom_.number_integer(v); }
    bool number_unsigned(json::number_unsigned_t v) { return dom_.number_unsigned(v); }
    bool number_float(json::number_float_t v, const std::string& s) {
        return dom_.number_float(v, s);
    }
    bool string(json::string_t& v) { return dom_.string(v); }
    bool binary(json::binary_t& v) { return dom_.binary(v); }
    bool start_object(std::size_t n) { return enter() && dom_.start_object(n); }
    bool key(json::string_t& k) { return dom_.key(k); }
    bool end_object() {
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t n) { return enter() && dom_.start_array(n); }
    bool end_array() {
        --depth_;
        return dom_.end_array();
    }
    bool parse_error(std::size_t position, const std::string& token,
                     const nlohmann::detail::exception& ex) {
        return dom_.parse_error(position, token, ex);
    }
    bool failed() const { return dom_.is_errored() || tooDeep_; }

  private:
    bool enter() {
        if (++depth_ > KeyedArchive::kMaxDepth) {
            tooDeep_ = true;
            return false;
        }
        return true;
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    int depth_ = 0;
    bool tooDeep_ = false;
};

}  // namespace

json KeyedArchive::makeObject(const std::string& className) {
    json object = json::object();
    object[kClassKey] = className;
    return object;
}

const std::string* KeyedArchive::className(const json& value) {
    if (!value.is_object())
        return nullptr;
    auto it = value.find(kClassKey);
    if (it == value.end() || !it->is_string())
        return nullptr;
    return it->get_ptr<const std::string*>();
}

Data KeyedArchive::encode(const json& object) {
    return Data(json::to_cbor(object));
}

std::optional<json> KeyedArchive::decodeValue(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length == 0)
        return std::nullopt;
    json result;
    DepthLimitedBuilder builder(result);
    try {
        bool ok = json::sax_parse(bytes, bytes + length, &builder, json::input_format_t::cbor,
                                  /*strict=*/true);
        if (!ok || builder.failed() || result.is_discarded())
            return std::nullopt;
    } catch (const std::exception&) {
        // Length prefixes beyond what the container can hold are reported by throwing.
        return std::nullopt;
    }
    return result;
}

std::optional<json> KeyedArchive::decode(const Data& bytes) {
    auto value = decodeValue(bytes.bytes(), bytes.length());
    if (!value || className(*value) == nullptr)
        return std::nullopt;
    return value;
}

json KeyedArchive::bytesValue(const Data& data) {
    return json::binary(data.vector());
}

std::optional<Data> KeyedArchive::dataFrom(const json& value) {
    if (!value.is_binary())
        return std::nullopt;
    const auto& bin = value.get_binary();
    return Data(std::vector<uint8_t>(bin.begin(), bin.end()));
}

}  // namespace bv
