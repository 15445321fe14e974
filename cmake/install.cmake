# cmake --install: the tools in bin/, the library and the codec plugin in lib/,
# the header in include/, the CMake package and the pkg-config file. Every
# path inside the tree is relative ($ORIGIN, ${pcfiledir}), so a tree
# installed under any prefix, or moved, works with no environment settings.
include(CMakePackageConfigHelpers)

set_target_properties(stereo-rectify stereo-rectify-inspect stereo-rectify-batch PROPERTIES
  INSTALL_RPATH "$ORIGIN/../lib")
install(TARGETS stereo-rectify stereo-rectify-inspect stereo-rectify-batch
  RUNTIME DESTINATION bin)
install(TARGETS stereo_rectify EXPORT StereoRectifyTargets
  LIBRARY DESTINATION lib
  INCLUDES DESTINATION include)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/stereo_rectify DESTINATION include)

set(package_folder lib/cmake/StereoRectify)
install(EXPORT StereoRectifyTargets NAMESPACE StereoRectify:: DESTINATION ${package_folder})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/StereoRectifyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/StereoRectifyConfig.cmake INSTALL_DESTINATION ${package_folder})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/StereoRectifyConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/StereoRectifyConfig.cmake
              ${PROJECT_BINARY_DIR}/StereoRectifyConfigVersion.cmake
        DESTINATION ${package_folder})

configure_file(${PROJECT_SOURCE_DIR}/cmake/stereo-rectify.pc.in
  ${PROJECT_BINARY_DIR}/stereo-rectify.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/stereo-rectify.pc DESTINATION lib/pkgconfig)
