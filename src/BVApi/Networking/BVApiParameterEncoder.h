#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/InputStream.h"

// The wire forms of request arguments and parameters. Parameters are a JSON object, so
// every encoding walks them in the object's (sorted) key order; a byte-buffer value is a
// nlohmann::json::binary_t.
class BVApiParameterEncoder {
  public:
    static constexpr const char* kMultipartBoundary = "------WebKitFormBoundaryf8AVk0gFLWQNUVjP";
    // Domain of the errors of jsonBody.
    static constexpr const char* kJSONErrorDomain = "BVJSONErrorDomain";

    // Keeps ASCII letters, digits and "-._~"; every other UTF-8 byte becomes "%XX".
    static std::string percentEncode(std::string_view text);

    // The text a value stands for in a query, a form field or a log record: strings as
    // they are, integers and reals in decimal, booleans "1"/"0", null "<null>", byte
    // buffers "<hex>", arrays and objects as compact JSON.
    static std::string textForm(const nlohmann::json& value);

    // Each argument's text form, percent-encoded, joined with "/".
    static std::string pathComponent(const std::vector<nlohmann::json>& arguments);

    // "key=value" pairs, both percent-encoded, joined with "&"; `leftOutKey` is skipped.
    static std::string queryString(const nlohmann::json& parameters,
                                   std::string_view leftOutKey = {});

    // A multipart/form-data body with kMultipartBoundary: byte buffers as octet-stream
    // file parts named after their key, everything else as text fields.
    static bv::Data multipartBody(const nlohmann::json& parameters);

    // Byte buffers held elsewhere, by parameter key: the parameter in the object only keeps
    // its key's place (any binary value), the bytes are these.
    using SharedBinaries = std::map<std::string, std::shared_ptr<const bv::Data>>;
    // The bytes of multipartBody(parameters), with each shared buffer in its parameter's
    // place, as a stream that reads the shared buffers where they are: a chunk of a file is
    // never copied into a body. Rewinds for a second send.
    static std::shared_ptr<bv::InputStream> multipartStream(const nlohmann::json& parameters,
                                                            const SharedBinaries& shared);

    // Compact JSON. Answers nothing and sets *error when a value has no JSON form
    // (byte buffers, NaN or infinite reals, text that is not UTF-8).
    static std::optional<bv::Data> jsonBody(const nlohmann::json& parameters, bv::Error* error);
};
