# CRoaring for the build, as the target `vantorel::roaring`.
#
# VANTOREL_ROARING=builtin (the default) compiles a pinned CRoaring release
# from its single-file amalgamation into a static library, so the module needs
# no CRoaring at run time. CRoaringSources.cmake finds the amalgamation: a
# directory the user names, the copy bundled in a source distribution, the
# cache, or, once, the network. Without any of them configure stops and says
# how to go on: it never builds against another CRoaring instead.
#
# VANTOREL_ROARING=system uses an installed CRoaring: a prefix named by
# CMAKE_PREFIX_PATH or roaring_ROOT first (its CMake package config, else its
# header and library), then the system's.
#
# Sets VANTOREL_ROARING_RENAMED_ITERATOR when the CRoaring in use spells its
# iterator functions the 2.x way, and VANTOREL_ROARING_LICENSE to the license
# file to ship when CRoaring is compiled in.

set(VANTOREL_ROARING "builtin" CACHE STRING
  "CRoaring to use: builtin (a pinned release compiled in) or system (an installed one)")
set_property(CACHE VANTOREL_ROARING PROPERTY STRINGS builtin system)

include(${CMAKE_CURRENT_LIST_DIR}/CRoaringSources.cmake)

set(_vantorel_roaring_missing_hint
  "Install CRoaring (apt-get install libroaring-dev on Debian or Ubuntu, brew install croaring on macOS), "
  "or point CMAKE_PREFIX_PATH at its install prefix, "
  "or build the pinned CRoaring in with -DVANTOREL_ROARING=builtin (needs pip and, once, the network).")

# Defines vantorel::roaring from the amalgamation in `dir`.
function(_vantorel_add_builtin_roaring dir)
  add_library(vantorel_croaring STATIC "${dir}/roaring/roaring.c")
  target_include_directories(vantorel_croaring SYSTEM PUBLIC "${dir}")
  set_target_properties(vantorel_croaring PROPERTIES C_STANDARD 11 C_VISIBILITY_PRESET hidden)
  # Third-party code: its warnings are not ours to fix, and its assertions
  # are for its own test suite.
  target_compile_options(vantorel_croaring PRIVATE $<IF:$<C_COMPILER_ID:MSVC>,/W0,-w>)
  target_compile_definitions(vantorel_croaring PRIVATE $<$<NOT:$<CONFIG:Debug>>:NDEBUG>)
  add_library(vantorel::roaring ALIAS vantorel_croaring)
endfunction()

# Looks for an installed CRoaring: with `only_named_prefixes`, only in the
# prefixes the user named (CMAKE_PREFIX_PATH, roaring_ROOT, roaring_DIR);
# otherwise everywhere. Defines vantorel::roaring and sets `found_var`.
function(_vantorel_find_system_roaring only_named_prefixes found_var)
  set(${found_var} FALSE PARENT_SCOPE)
  set(scope "")
  if(only_named_prefixes)
    set(scope NO_SYSTEM_ENVIRONMENT_PATH NO_CMAKE_SYSTEM_PATH NO_CMAKE_PACKAGE_REGISTRY
              NO_CMAKE_SYSTEM_PACKAGE_REGISTRY)
  endif()
  # Newer releases ship a CMake package config.
  find_package(roaring CONFIG QUIET ${scope})
  if(TARGET roaring::roaring)
    add_library(vantorel::roaring ALIAS roaring::roaring)
    get_target_property(include_dirs roaring::roaring INTERFACE_INCLUDE_DIRECTORIES)
    if(NOT include_dirs)
      # Debian's config names only the library; the header sits under the same prefix.
      get_filename_component(prefix "${roaring_DIR}/../../../.." ABSOLUTE)
      find_path(ROARING_INCLUDE_DIR roaring/roaring.h HINTS "${prefix}/include" ${scope})
      set(include_dirs "${ROARING_INCLUDE_DIR}")
    endif()
    list(GET include_dirs 0 include_dir)
    set(VANTOREL_ROARING_INCLUDE_DIR "${include_dir}" PARENT_SCOPE)
    set(VANTOREL_ROARING_FOUND_AS "package config ${roaring_DIR}" PARENT_SCOPE)
    set(${found_var} TRUE PARENT_SCOPE)
    return()
  endif()
  # Older releases (Debian's 0.2.x) ship only the header and the library.
  find_path(ROARING_INCLUDE_DIR roaring/roaring.h ${scope})
  find_library(ROARING_LIBRARY roaring ${scope})
  if(ROARING_INCLUDE_DIR AND ROARING_LIBRARY)
    add_library(vantorel_system_roaring UNKNOWN IMPORTED)
    set_target_properties(vantorel_system_roaring PROPERTIES
      IMPORTED_LOCATION "${ROARING_LIBRARY}" INTERFACE_INCLUDE_DIRECTORIES "${ROARING_INCLUDE_DIR}")
    add_library(vantorel::roaring ALIAS vantorel_system_roaring)
    set(VANTOREL_ROARING_INCLUDE_DIR "${ROARING_INCLUDE_DIR}" PARENT_SCOPE)
    set(VANTOREL_ROARING_FOUND_AS "${ROARING_LIBRARY}" PARENT_SCOPE)
    set(${found_var} TRUE PARENT_SCOPE)
    return()
  endif()
  # Nothing complete here: forget the partial finds so the next search starts over.
  unset(ROARING_INCLUDE_DIR CACHE)
  unset(ROARING_LIBRARY CACHE)
endfunction()

set(VANTOREL_ROARING_LICENSE "")
if(VANTOREL_ROARING STREQUAL "builtin")
  vantorel_croaring_sources("${CMAKE_BINARY_DIR}/croaring-${VANTOREL_CROARING_VERSION}" _dir _how)
  _vantorel_add_builtin_roaring("${_dir}")
  set(VANTOREL_ROARING_INCLUDE_DIR "${_dir}")
  set(VANTOREL_ROARING_FOUND_AS "built in, ${_how}")
  # Bundled sources are among the package's license files already (see
  # tools/license_files.py); the others' license is shipped beside them.
  if(NOT _dir STREQUAL _vantorel_bundled_croaring)
    set(VANTOREL_ROARING_LICENSE "${_dir}/LICENSE")
  endif()
elseif(VANTOREL_ROARING STREQUAL "system")
  _vantorel_find_system_roaring(TRUE _found)
  if(NOT _found)
    _vantorel_find_system_roaring(FALSE _found)
  endif()
  if(NOT _found)
    message(FATAL_ERROR "CRoaring (roaring/roaring.h and its library) was not found. "
                        ${_vantorel_roaring_missing_hint})
  endif()
else()
  message(FATAL_ERROR "VANTOREL_ROARING must be builtin or system, not '${VANTOREL_ROARING}'.")
endif()

_vantorel_roaring_header_version("${VANTOREL_ROARING_INCLUDE_DIR}" VANTOREL_ROARING_VERSION_FOUND)
message(NOTICE "-- CRoaring ${VANTOREL_ROARING_VERSION_FOUND}: ${VANTOREL_ROARING_FOUND_AS}")

# CRoaring 2.0 renamed its iterator functions. The check only compiles (no
# link), so it works for every kind of target, including one not built yet.
include(CheckCXXSourceCompiles)
if(NOT "${VANTOREL_ROARING_VERSION_FOUND}|${VANTOREL_ROARING_INCLUDE_DIR}|${VANTOREL_ROARING_FOUND_AS}" STREQUAL "${_VANTOREL_ROARING_CHECKED}")
  unset(VANTOREL_ROARING_RENAMED_ITERATOR CACHE)
  set(_VANTOREL_ROARING_CHECKED "${VANTOREL_ROARING_VERSION_FOUND}|${VANTOREL_ROARING_INCLUDE_DIR}|${VANTOREL_ROARING_FOUND_AS}" CACHE INTERNAL "")
endif()
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_REQUIRED_INCLUDES "${VANTOREL_ROARING_INCLUDE_DIR}")
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles("
#include <roaring/roaring.h>
void probe(const roaring_bitmap_t* b, uint32_t* out) {
  roaring_uint32_iterator_t it;
  roaring_iterator_init(b, &it);
  roaring_uint32_iterator_read(&it, out, 4);
}
int main() { return 0; }" VANTOREL_ROARING_RENAMED_ITERATOR)
unset(CMAKE_TRY_COMPILE_TARGET_TYPE)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_QUIET)
