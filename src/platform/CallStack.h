#pragma once

#include <string>

namespace bv {

// The calling thread's stack as symbol texts, innermost frame first, one per line; for
// log records that must show how a failure was reached.
std::string currentCallStack();

}  // namespace bv
