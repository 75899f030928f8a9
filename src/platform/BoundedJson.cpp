#include "platform/BoundedJson.h"

#include <utility>
#include <vector>

namespace bv {

namespace {

using json = nlohmann::json;

// The library's own DOM builder, refusing to open a map or array past the limit.
class DepthLimitedBuilder {
  public:
    DepthLimitedBuilder(json& root, int maxDepth) : dom_(root, false), maxDepth_(maxDepth) {}

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
    bool tooDeep() const { return tooDeep_; }

  private:
    bool enter() {
        if (++depth_ > maxDepth_) {
            tooDeep_ = true;
            return false;
        }
        return true;
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    const int maxDepth_;
    int depth_ = 0;
    bool tooDeep_ = false;
};

}  // namespace

std::optional<json> BoundedJson::parse(std::string_view bytes, Format format, int maxDepth,
                                       bool* tooDeep) {
    if (tooDeep)
        *tooDeep = false;
    json result;
    DepthLimitedBuilder builder(result, maxDepth);
    try {
        const auto inputFormat =
            format == Format::Cbor ? json::input_format_t::cbor : json::input_format_t::json;
        const bool ok =
            json::sax_parse(bytes.begin(), bytes.end(), &builder, inputFormat, /*strict=*/true);
        if (tooDeep)
            *tooDeep = builder.tooDeep();
        if (!ok || builder.failed() || result.is_discarded())
            return std::nullopt;
    } catch (const std::exception&) {
        // Length prefixes beyond what the container can hold are reported by throwing.
        return std::nullopt;
    }
    return result;
}

bool BoundedJson::isDeeperThan(const json& value, int maxDepth) {
    std::vector<std::pair<const json*, int>> pending{{&value, 0}};
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured())
            continue;
        if (depth + 1 > maxDepth)
            return true;
        for (const auto& child : *node)
            pending.emplace_back(&child, depth + 1);
    }
    return false;
}

}  // namespace bv
