#pragma once

#include <cstdint>
#include <string>

// One file of either side as the snapshot tables and the listings know it.
struct BrimvaultFile {
    std::string m_filename;
    std::string m_path;
    std::string m_fileID;
    int64_t m_size = 0;          // bytes
    int64_t m_modifiedDate = 0;  // whole seconds since 1970
    std::string m_parentFolderId;
    std::string m_accessDirId;
    bool m_localFile = false;
    std::string m_symlinkTarget;
};
