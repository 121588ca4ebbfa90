# Installs the library, its public headers, the tools and their man pages, the licence, a CMake
# package (find_package(Brisvane) -> Brisvane::BrisvaneStateServiceImplementation) and a
# pkg-config file. Every destination follows the configured CMAKE_INSTALL_* folders, so a
# distribution build (prefix /usr, a multiarch libdir, DESTDIR) and a private prefix both work.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

get_property(brisvane_libraries GLOBAL PROPERTY BRISVANE_LIBRARIES)
install(TARGETS brisvane ${brisvane_libraries} EXPORT BrisvaneTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The public headers: the own headers of every folder made with brisvane_add_library (including
# the building blocks of the public templates, such as reactive/publisher_chain.h), under
# include/brisvane/<folder>/. Each folder's detail/ is private to the library and is not installed.
foreach(folder ${brisvane_libraries})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${folder}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brisvane/${folder}
          FILES_MATCHING PATTERN "*.h" PATTERN "detail" EXCLUDE)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/include/brisvane_export.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brisvane)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/brisvane)

set(BRISVANE_LICENSE "MIT")
install(EXPORT BrisvaneTargets NAMESPACE Brisvane::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brisvane)
if(BUILD_SHARED_LIBS)
  set(BRISVANE_SHARED TRUE)
else()
  set(BRISVANE_SHARED FALSE)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/BrisvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/BrisvaneConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brisvane)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/BrisvaneConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/BrisvaneConfig.cmake ${PROJECT_BINARY_DIR}/BrisvaneConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Brisvane)

# pkg-config: the shared library needs only what its public headers use; a static archive also
# needs the libraries it was built against.
if(BUILD_SHARED_LIBS)
  set(BRISVANE_PC_REQUIRES "nlohmann_json")
  set(BRISVANE_PC_REQUIRES_PRIVATE "sqlite3 libplist-2.0 libsystemd")
else()
  set(BRISVANE_PC_REQUIRES "nlohmann_json sqlite3 libplist-2.0 libsystemd")
  set(BRISVANE_PC_REQUIRES_PRIVATE "")
endif()
# Written when installing, so that the prefix is the one installed to (cmake --install --prefix
# overrides the configured one); libdir and includedir are joined to it unless they are absolute.
foreach(kind PREFIX LIBDIR INCLUDEDIR)
  set(BRISVANE_PC_${kind} "@BRISVANE_PC_${kind}@")  # kept for the install-time pass
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/brisvane.pc.in ${PROJECT_BINARY_DIR}/brisvane.pc.in @ONLY)
install(CODE "
  set(BRISVANE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  foreach(pair \"LIBDIR;${CMAKE_INSTALL_LIBDIR}\" \"INCLUDEDIR;${CMAKE_INSTALL_INCLUDEDIR}\")
    list(GET pair 0 kind)
    list(GET pair 1 dir)
    if(IS_ABSOLUTE \"\${dir}\")
      set(BRISVANE_PC_\${kind} \"\${dir}\")
    else()
      set(BRISVANE_PC_\${kind} \"\\\${prefix}/\${dir}\")
    endif()
  endforeach()
  configure_file(\"${PROJECT_BINARY_DIR}/brisvane.pc.in\" \"${PROJECT_BINARY_DIR}/brisvane.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/brisvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
