# Installation: the shared libraries, every public header (hand-written and generated), a CMake
# package (find_package(aai CONFIG) gives aai::aai and the runtime targets) and a pkg-config file.

include(CMakePackageConfigHelpers)

set(AAI_INSTALL_TARGETS zel_trace zel_ipc2 zel_datetime zel_userlogin aai)
install(TARGETS ${AAI_INSTALL_TARGETS}
  EXPORT aaiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/aai DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(lib trace ipc2 datetime userlogin)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/runtime/${lib}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(DIRECTORY ${AAI_GENERATED_INCLUDE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(AAI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/aai)
install(EXPORT aaiTargets NAMESPACE aai:: DESTINATION ${AAI_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/aaiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/aaiConfig.cmake INSTALL_DESTINATION ${AAI_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/aaiConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/aaiConfig.cmake ${PROJECT_BINARY_DIR}/aaiConfigVersion.cmake
  DESTINATION ${AAI_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/aai.pc.in ${PROJECT_BINARY_DIR}/aai.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/aai.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
