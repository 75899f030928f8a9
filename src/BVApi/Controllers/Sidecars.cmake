# The temporary file store, the client-side extended attributes of the volume and the
# recognition of the desktop's helper processes (bv_sidecars).
add_library(bv_sidecars STATIC
    ${CMAKE_CURRENT_LIST_DIR}/../Cache/BVTmpController.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BVExtendedAttributesController.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BVSatellitesController.cpp
)
target_include_directories(bv_sidecars PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(bv_sidecars PUBLIC bv_cache bv_content bv_logging bv_platform
    PRIVATE PkgConfig::FUSE3)
