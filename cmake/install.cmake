# `cmake --install`: the program, the man page, and the library with its
# public headers as a CMake package, found by `find_package(reelknit)` and
# linked as reelknit::reelknit.
include(CMakePackageConfigHelpers)

set(REELKNIT_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/reelknit)

install(TARGETS reelknit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS reelknit_lib reelknit_join reelknit_mp4 reelknit_insta360 reelknit_chapters reelknit_io reelknit_base
  EXPORT reelknitTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/reelknit
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/man/reelknit.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(EXPORT reelknitTargets NAMESPACE reelknit:: DESTINATION ${REELKNIT_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/reelknitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/reelknitConfig.cmake
  INSTALL_DESTINATION ${REELKNIT_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/reelknitConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/reelknitConfig.cmake ${PROJECT_BINARY_DIR}/reelknitConfigVersion.cmake
  DESTINATION ${REELKNIT_PACKAGE_DIR})
