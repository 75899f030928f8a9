#pragma once

namespace bv_crypt {

// Type codes answered by get_type.
enum algorithm_type : int {
    type_hex_string = 1,
    type_aes = 2,
    type_sha256 = 6,
};

// Root of the byte transforms. Transforms hold library contexts and key material, so
// they are neither copied nor moved.
class algorithm {
  public:
    algorithm() = default;
    virtual ~algorithm() = default;
    algorithm(const algorithm&) = delete;
    algorithm& operator=(const algorithm&) = delete;

    virtual int get_type() const = 0;
};

}  // namespace bv_crypt
