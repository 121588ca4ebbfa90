# Warnings are errors on every compiler we build with.
add_library(brisvane_warnings INTERFACE)
target_compile_options(brisvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wno-unused-parameter
  $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>)
