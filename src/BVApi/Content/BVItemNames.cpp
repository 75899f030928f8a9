#include "BVApi/Content/BVItemNames.h"

bool BVItemNames::isUsableName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..")
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x20 || byte == 0x7F || byte == '/')
            return false;
        // U+0080 to U+009F, among them the one-character escape introducer U+009B.
        if (byte == 0xC2 && i + 1 < name.size()) {
            const auto next = static_cast<unsigned char>(name[i + 1]);
            if (next >= 0x80 && next <= 0x9F)
                return false;
        }
    }
    return true;
}

bool BVItemNames::isFixedFolderIdentifier(std::string_view identifier) {
    return identifier == "0" || identifier == "-1" || identifier == "-2";
}
