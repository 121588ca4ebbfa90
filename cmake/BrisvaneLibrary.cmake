# One library, libbrisvane (static by default, shared with -DBUILD_SHARED_LIBS=ON: SONAME
# libbrisvane.so.<major>), built from one object library per folder. Each folder keeps a target
# of its own name (runtime, reactive, ..., BrisvaneStateServiceImplementation) that stands for the
# whole library, so consumers link Brisvane::<folder> as before.
#
# Everything is compiled with hidden visibility: only declarations marked BRISVANE_EXPORT
# (brisvane_export.h, generated below) are exported from the shared library. The tools, tests,
# benchmarks and fuzz targets are ours and reach internals, so inside this tree the folder targets
# stand for brisvane_internal: a static archive of the same objects (in a static build, the
# library itself). Installed, they stand for the library.
include(GNUInstallDirs)
include(GenerateExportHeader)

# Adds the folder's object library, built from every source file in the calling folder (and its
# detail/ folder). Headers are included as "folder/header.h". DEPS that name other folders are
# the folders whose headers this one includes; they only order the layers, and each must have
# been added already, so the layers cannot form a cycle. External DEPS become usage requirements
# of the library, PRIVATE_DEPS are linked into it.
function(brisvane_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  foreach(dep ${ARG_DEPS})
    if(NOT dep MATCHES "::" AND NOT TARGET ${dep})
      message(FATAL_ERROR "${name} depends on ${dep}, which is not added yet: "
                          "add_subdirectory(${dep}) must come first (no cycles between folders)")
    endif()
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/detail/*.cpp)
  list(FILTER ARG_DEPS INCLUDE REGEX "::")
  if(sources)
    add_library(${name}_objects OBJECT ${sources})
    target_include_directories(${name}_objects PUBLIC
      ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/include)
    target_link_libraries(${name}_objects PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS}
                          brisvane_warnings)
    set_target_properties(${name}_objects PROPERTIES
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    set_property(GLOBAL APPEND PROPERTY BRISVANE_OBJECT_LIBRARIES ${name}_objects)
  endif()
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE
    $<BUILD_INTERFACE:brisvane_internal> $<INSTALL_INTERFACE:Brisvane::brisvane>)
  set_property(GLOBAL APPEND PROPERTY BRISVANE_LIBRARIES ${name})
  set_property(GLOBAL APPEND PROPERTY BRISVANE_PUBLIC_DEPS ${ARG_DEPS})
  set_property(GLOBAL APPEND PROPERTY BRISVANE_PRIVATE_DEPS ${ARG_PRIVATE_DEPS})
endfunction()

# Called once every folder has added its objects.
function(brisvane_assemble_library)
  get_property(objects GLOBAL PROPERTY BRISVANE_OBJECT_LIBRARIES)
  get_property(public_deps GLOBAL PROPERTY BRISVANE_PUBLIC_DEPS)
  get_property(private_deps GLOBAL PROPERTY BRISVANE_PRIVATE_DEPS)
  list(REMOVE_DUPLICATES public_deps)
  list(REMOVE_DUPLICATES private_deps)
  add_library(brisvane)
  if(BUILD_SHARED_LIBS)
    add_library(brisvane_internal STATIC EXCLUDE_FROM_ALL)
    set(libraries brisvane brisvane_internal)
  else()
    add_library(brisvane_internal ALIAS brisvane)
    set(libraries brisvane)
  endif()
  foreach(target ${libraries})
    foreach(library ${objects})
      target_sources(${target} PRIVATE $<TARGET_OBJECTS:${library}>)
    endforeach()
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/brisvane>)
    target_compile_features(${target} PUBLIC cxx_std_20)
  endforeach()
  target_link_libraries(brisvane PUBLIC ${public_deps} PRIVATE ${private_deps})
  if(BUILD_SHARED_LIBS)
    # Linked statically into our own programs, so the libraries it was built against come along.
    target_link_libraries(brisvane_internal PUBLIC ${public_deps} ${private_deps})
  endif()
  set_target_properties(brisvane PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # The public headers say clearly when a consumer compiles them as something older than C++20,
  # instead of failing inside a template.
  set(standard_check [=[
#if defined(__cplusplus) && __cplusplus < 202002L
#error "the brisvane headers need C++20 or later (compile with -std=c++20)"
#endif]=])
  generate_export_header(brisvane BASE_NAME BRISVANE
    EXPORT_FILE_NAME ${PROJECT_BINARY_DIR}/include/brisvane_export.h
    CUSTOM_CONTENT_FROM_VARIABLE standard_check)
endfunction()
