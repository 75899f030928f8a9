#pragma once

#include <cstdint>
#include <string>

// One folder of either side as the snapshot tables and the listings know it.
struct BrimvaultFolder {
    std::string m_folderName;
    std::string m_path;
    std::string m_folderID;
    std::string m_parentFolderId;
    std::string m_accessDirId;
    bool m_isLocal = false;
    int64_t m_lastupdate = 0;  // the service's change stamp; 0 forces a full re-listing
};
