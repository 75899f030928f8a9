#include "BVApi/Networking/BVApiParameterEncoder.h"

#include <cmath>
#include <cstring>

#include "platform/Format.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isKeptInQuery(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2 + 2);
    text.push_back('<');
    for (uint8_t b : bytes) {
        text.push_back(kHexDigits[b >> 4]);
        text.push_back(kHexDigits[b & 0xF]);
    }
    text.push_back('>');
    return text;
}

std::string realText(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    return nlohmann::json(value).dump();
}

// Names the first value that has no JSON form, or answers empty when all have one.
std::string firstValueWithoutJSONForm(const nlohmann::json& value) {
    if (value.is_binary())
        return "byte buffer";
    if (value.is_number_float() && !std::isfinite(value.get<double>()))
        return "non-finite number";
    if (value.is_structured()) {
        for (const auto& element : value) {
            std::string found = firstValueWithoutJSONForm(element);
            if (!found.empty())
                return found;
        }
    }
    return {};
}

bv::Error jsonError(int64_t code, const std::string& reason) {
    return bv::Error(BVApiParameterEncoder::kJSONErrorDomain, code,
                     {{bv::kFailureReasonKey, "Invalid value in JSON write: " + reason}});
}

void appendText(bv::Data& data, const std::string& text) {
    data.append(text.data(), text.size());
}

// The boundary and headers before a part's value; the whole and the streamed body share them,
// so that both send the same bytes.
void appendPartHead(bv::Data& body, const std::string& key, bool binary) {
    appendText(body, bv::format("\r\n--%@\r\n", BVApiParameterEncoder::kMultipartBoundary));
    if (binary) {
        appendText(body,
                   bv::format("Content-Disposition: form-data; name=\"%@\"; filename=\"%@\"\r\n",
                              key, key));
        appendText(body, "Content-Type: application/octet-stream\r\n\r\n");
    } else {
        appendText(body, bv::format("Content-Disposition: form-data; name=\"%@\"\r\n\r\n", key));
    }
}

}  // namespace

std::string BVApiParameterEncoder::percentEncode(std::string_view text) {
    std::string encoded;
    encoded.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (isKeptInQuery(c)) {
            encoded.push_back(ch);
        } else {
            encoded.push_back('%');
            encoded.push_back(kHexDigits[c >> 4]);
            encoded.push_back(kHexDigits[c & 0xF]);
        }
    }
    return encoded;
}

std::string BVApiParameterEncoder::textForm(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string:
            return value.get_ref<const std::string&>();
        case nlohmann::json::value_t::boolean:
            return value.get<bool>() ? "1" : "0";
        case nlohmann::json::value_t::null:
            return "<null>";
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
            return value.dump();
        case nlohmann::json::value_t::number_float:
            return realText(value.get<double>());
        case nlohmann::json::value_t::binary:
            return hexOf(value.get_binary());
        default:
            return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

std::string BVApiParameterEncoder::pathComponent(const std::vector<nlohmann::json>& arguments) {
    std::string component;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            component.push_back('/');
        component += percentEncode(textForm(arguments[i]));
    }
    return component;
}

std::string BVApiParameterEncoder::queryString(const nlohmann::json& parameters,
                                               std::string_view leftOutKey) {
    std::string query;
    if (!parameters.is_object())
        return query;
    for (const auto& [key, value] : parameters.items()) {
        if (!leftOutKey.empty() && key == leftOutKey)
            continue;
        if (!query.empty())
            query.push_back('&');
        query += bv::format("%@=%@", percentEncode(key), percentEncode(textForm(value)));
    }
    return query;
}

bv::Data BVApiParameterEncoder::multipartBody(const nlohmann::json& parameters) {
    bv::Data body;
    if (parameters.is_object()) {
        // One allocation: a chunk of file data is copied once, never again as the body grows.
        size_t binaryBytes = 0;
        for (const auto& [key, value] : parameters.items())
            if (value.is_binary())
                binaryBytes += value.get_binary().size();
        body.reserve(binaryBytes + 256 * (parameters.size() + 1));
        for (const auto& [key, value] : parameters.items()) {
            appendPartHead(body, key, value.is_binary());
            if (value.is_binary()) {
                const auto& bytes = value.get_binary();
                body.append(bytes.data(), bytes.size());
            } else {
                appendText(body, textForm(value));
            }
        }
    }
    appendText(body, bv::format("\r\n--%@--\r\n", kMultipartBoundary));
    return body;
}

namespace {

// Pieces of bytes read one after the other; each piece's owner keeps it alive.
class PiecesInputStream : public bv::InputStream {
  public:
    void add(std::shared_ptr<const bv::Data> owner) {
        if (!owner->empty())
            pieces_.push_back(std::move(owner));
    }
    int64_t read(uint8_t* buffer, size_t max) override {
        size_t copied = 0;
        while (copied < max && piece_ < pieces_.size()) {
            const bv::Data& piece = *pieces_[piece_];
            const size_t n = std::min(max - copied, piece.size() - offset_);
            std::memcpy(buffer + copied, piece.bytes() + offset_, n);
            copied += n;
            offset_ += n;
            if (offset_ == piece.size()) {
                ++piece_;
                offset_ = 0;
            }
        }
        return static_cast<int64_t>(copied);
    }
    int64_t length() const override {
        int64_t total = 0;
        for (const auto& piece : pieces_)
            total += static_cast<int64_t>(piece->size());
        return total;
    }
    bool rewind() override {
        piece_ = 0;
        offset_ = 0;
        return true;
    }

  private:
    std::vector<std::shared_ptr<const bv::Data>> pieces_;
    size_t piece_ = 0;
    size_t offset_ = 0;
};

}  // namespace

std::shared_ptr<bv::InputStream> BVApiParameterEncoder::multipartStream(
    const nlohmann::json& parameters, const SharedBinaries& shared) {
    auto stream = std::make_shared<PiecesInputStream>();
    // The same parts as multipartBody, in the same order; the text up to a shared buffer
    // becomes a piece of its own.
    bv::Data text;
    auto flushText = [&] {
        stream->add(std::make_shared<const bv::Data>(std::move(text)));
        text = bv::Data();
    };
    if (parameters.is_object()) {
        for (const auto& [key, value] : parameters.items()) {
            appendPartHead(text, key, value.is_binary());
            auto held = value.is_binary() ? shared.find(key) : shared.end();
            if (value.is_binary()) {
                if (held != shared.end() && held->second) {
                    flushText();
                    stream->add(held->second);
                } else {
                    const auto& bytes = value.get_binary();
                    text.append(bytes.data(), bytes.size());
                }
            } else {
                appendText(text, textForm(value));
            }
        }
    }
    appendText(text, bv::format("\r\n--%@--\r\n", kMultipartBoundary));
    flushText();
    return stream;
}

std::optional<bv::Data> BVApiParameterEncoder::jsonBody(const nlohmann::json& parameters,
                                                        bv::Error* error) {
    std::string unfit = firstValueWithoutJSONForm(parameters);
    if (!unfit.empty()) {
        bv::setError(error, jsonError(1, unfit));
        return std::nullopt;
    }
    try {
        return bv::Data::fromString(parameters.dump());
    } catch (const nlohmann::json::exception& e) {
        bv::setError(error, jsonError(e.id, e.what()));
        return std::nullopt;
    }
}
