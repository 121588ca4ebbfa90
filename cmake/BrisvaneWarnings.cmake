# Warnings are errors on every compiler we build with.
add_library(brisvane_warnings INTERFACE)
target_compile_options(brisvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wno-unused-parameter
  $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>)

# Adds a library target built from every source file in the calling folder
# (and its detail/ folder). Headers are included as "folder/header.h".
function(brisvane_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/detail/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:include/brisvane>)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS}
                          $<BUILD_INTERFACE:brisvane_warnings>)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME brisvane_${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:include/brisvane>)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  set_property(GLOBAL APPEND PROPERTY BRISVANE_LIBRARIES ${name})
endfunction()
