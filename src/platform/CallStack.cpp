#include "platform/CallStack.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace bv {

std::string currentCallStack() {
    void* frames[64];
    int count = backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, count),
                                                         &std::free);
    std::string text;
    for (int i = 0; symbols && i < count; ++i) {
        if (i > 0)
            text.push_back('\n');
        text += symbols.get()[i];
    }
    return text;
}

}  // namespace bv
