#pragma once

#include <stdexcept>
#include <string>

namespace bv_crypt {

// The one exception of the crypto layer. Its message is one of a fixed set of texts that
// callers may compare (a wrong key always gives a text starting with "Password Error").
// It never crosses the flat entry points or the data-level operations.
class CBrimvaultException : public std::runtime_error {
  public:
    explicit CBrimvaultException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace bv_crypt
