# The content controller (paths, listings, account information) and the background refresh
# of shown folders with its folder locks (bv_contentctl).
add_library(bv_contentctl STATIC
    ${CMAKE_CURRENT_LIST_DIR}/BVContentController.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BVVolumePath.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../Controllers/BVBackgroundFolderUpdateController.cpp
)
target_include_directories(bv_contentctl PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(bv_contentctl PUBLIC bv_controllers bv_sidecars bv_apiclient bv_cache
    bv_content bv_app_utilities bv_logging bv_platform)
