# Installs the libraries, their public headers, the tools, a CMake package
# (find_package(Brisvane) -> Brisvane::BrisvaneStateServiceImplementation) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_property(brisvane_libraries GLOBAL PROPERTY BRISVANE_LIBRARIES)
install(TARGETS ${brisvane_libraries} EXPORT BrisvaneTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brisvane)
foreach(folder platform host interoperability interoperability_keychain messages
               BrisvaneStateServiceImplementation)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brisvane/${folder}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT BrisvaneTargets NAMESPACE Brisvane::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brisvane)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/BrisvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/BrisvaneConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brisvane)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrisvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/BrisvaneConfig.cmake ${PROJECT_BINARY_DIR}/BrisvaneConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brisvane)

configure_file(${PROJECT_SOURCE_DIR}/cmake/brisvane.pc.in ${PROJECT_BINARY_DIR}/brisvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/brisvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
