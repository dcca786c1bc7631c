# CRoaring for the build, as the target `vantorel::roaring`.
#
# VANTOREL_ROARING=builtin (the default) compiles a pinned CRoaring release
# from its single-file amalgamation into a static library, so the module needs
# no CRoaring at run time. The amalgamation is taken from the source
# distribution of the `pyroaring` package, fetched by name with pip, checked
# against a known SHA-256 and kept in a cache directory outside the source tree
# (VANTOREL_ROARING_CACHE_DIR), so only the first build needs the network.
#
# VANTOREL_ROARING=system uses an installed CRoaring: a prefix named by
# CMAKE_PREFIX_PATH or roaring_ROOT first (its CMake package config, else its
# header and library), then the system's. The builtin choice falls back to
# this, with a warning, when the fetch fails (offline).
#
# Sets VANTOREL_ROARING_RENAMED_ITERATOR when the CRoaring in use spells its
# iterator functions the 2.x way, and VANTOREL_ROARING_LICENSE to the license
# file to ship when CRoaring is compiled in.

set(VANTOREL_ROARING "builtin" CACHE STRING
  "CRoaring to use: builtin (a pinned release compiled in) or system (an installed one)")
set_property(CACHE VANTOREL_ROARING PROPERTY STRINGS builtin system)

# The pinned release: pyroaring 1.2.0 carries CRoaring 5.2.2.
set(VANTOREL_CROARING_VERSION "5.2.2")
set(_vantorel_pyroaring_version "1.2.0")
set(_vantorel_pyroaring_sha256 "e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af")

if(DEFINED ENV{XDG_CACHE_HOME})
  set(_vantorel_cache_default "$ENV{XDG_CACHE_HOME}/vantorel")
elseif(WIN32 AND DEFINED ENV{LOCALAPPDATA})
  set(_vantorel_cache_default "$ENV{LOCALAPPDATA}/vantorel")
elseif(DEFINED ENV{HOME})
  set(_vantorel_cache_default "$ENV{HOME}/.cache/vantorel")
else()
  set(_vantorel_cache_default "${CMAKE_BINARY_DIR}/vantorel-cache")
endif()
set(VANTOREL_ROARING_CACHE_DIR "${_vantorel_cache_default}" CACHE PATH
  "Where the builtin CRoaring's sources are kept between builds")

set(_vantorel_roaring_missing_hint
  "Install CRoaring (apt-get install libroaring-dev on Debian or Ubuntu, brew install croaring on macOS), "
  "or point CMAKE_PREFIX_PATH at its install prefix, "
  "or build the pinned CRoaring in with -DVANTOREL_ROARING=builtin (needs pip and, once, the network).")

# Reads the CRoaring version from a header directory (roaring/roaring_version.h
# of an installed CRoaring, or roaring/roaring.h of an amalgamation).
function(_vantorel_roaring_header_version include_dir out_var)
  set(version "unknown version")
  foreach(header roaring/roaring_version.h roaring/roaring.h)
    if(EXISTS "${include_dir}/${header}")
      file(STRINGS "${include_dir}/${header}" lines REGEX "ROARING_VERSION_(MAJOR|MINOR|REVISION) *=" LIMIT_COUNT 3)
      string(REGEX REPLACE ".*MAJOR *= *([0-9]+).*MINOR *= *([0-9]+).*REVISION *= *([0-9]+).*" "\\1.\\2.\\3"
             parsed "${lines}")
      if(parsed MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
        set(version "${parsed}")
        break()
      endif()
    endif()
  endforeach()
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()

# Fetches the pinned amalgamation into `dir` (roaring/roaring.c, roaring/roaring.h
# and LICENSE). Sets `ok_var` to FALSE, with the reason in `why_var`, when pip
# cannot fetch it; a download whose checksum differs is a fatal error.
function(_vantorel_fetch_croaring dir ok_var why_var)
  set(work "${CMAKE_BINARY_DIR}/croaring-fetch")
  file(REMOVE_RECURSE "${work}")
  set(sdist "${work}/pyroaring-${_vantorel_pyroaring_version}.tar.gz")
  message(STATUS "Fetching CRoaring ${VANTOREL_CROARING_VERSION}: pip download pyroaring==${_vantorel_pyroaring_version}")
  # In hash-checking mode pip verifies the archive before it runs anything
  # from it (it reads the package's metadata by building it). Only pyroaring
  # itself must be the source archive: its build tools may come as wheels.
  file(WRITE "${work}/requirements.txt"
       "pyroaring==${_vantorel_pyroaring_version} --hash=sha256:${_vantorel_pyroaring_sha256}\n")
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --disable-pip-version-check
            --retries 1 --timeout 20 --no-deps --no-binary pyroaring --require-hashes
            --dest "${work}" -r "${work}/requirements.txt"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 600)
  if(err MATCHES "DO NOT MATCH THE HASHES")
    message(FATAL_ERROR "The download of pyroaring ${_vantorel_pyroaring_version} does not have the "
                        "expected SHA-256: refusing to build from it.\n${err}")
  endif()
  if(NOT rc EQUAL 0 OR NOT EXISTS "${sdist}")
    string(STRIP "${err}" err)
    set(${ok_var} FALSE PARENT_SCOPE)
    set(${why_var} "pip download failed (${rc}): ${err}" PARENT_SCOPE)
    return()
  endif()
  file(SHA256 "${sdist}" actual)
  if(NOT actual STREQUAL _vantorel_pyroaring_sha256)
    message(FATAL_ERROR "The download of pyroaring ${_vantorel_pyroaring_version} has SHA-256 ${actual}, "
                        "expected ${_vantorel_pyroaring_sha256}: refusing to build from it.")
  endif()
  set(member "pyroaring-${_vantorel_pyroaring_version}/pyroaring")
  file(ARCHIVE_EXTRACT INPUT "${sdist}" DESTINATION "${work}/x"
       PATTERNS "${member}/roaring.c" "${member}/roaring.h")

  # Stage beside the final directory and rename it into place, so that a build
  # that is interrupted, or runs at the same time, never sees half a directory.
  string(RANDOM LENGTH 8 tag)
  set(stage "${dir}.partial-${tag}")
  file(MAKE_DIRECTORY "${stage}/roaring")
  file(COPY "${work}/x/${member}/roaring.c" "${work}/x/${member}/roaring.h" DESTINATION "${stage}/roaring")
  # CRoaring's license is the comment block that opens the amalgamation.
  file(READ "${stage}/roaring/roaring.h" header LIMIT 8192)
  string(FIND "${header}" "/* begin file" end)
  string(SUBSTRING "${header}" 0 ${end} license)
  file(WRITE "${stage}/LICENSE" "CRoaring ${VANTOREL_CROARING_VERSION}\n\n${license}")
  # (Fails, harmlessly, when a concurrent build renamed its copy first.)
  file(RENAME "${stage}" "${dir}" RESULT renamed)
  file(REMOVE_RECURSE "${stage}" "${work}")
  if(NOT EXISTS "${dir}/roaring/roaring.c")
    message(FATAL_ERROR "Could not store CRoaring's sources in ${dir}: ${renamed}")
  endif()
  set(${ok_var} TRUE PARENT_SCOPE)
endfunction()

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
set(_vantorel_roaring_choice "${VANTOREL_ROARING}")
if(_vantorel_roaring_choice STREQUAL "builtin")
  set(_dir "${VANTOREL_ROARING_CACHE_DIR}/croaring-${VANTOREL_CROARING_VERSION}")
  set(_ok TRUE)
  if(NOT EXISTS "${_dir}/roaring/roaring.c")
    _vantorel_fetch_croaring("${_dir}" _ok _why)
  endif()
  if(_ok)
    _vantorel_add_builtin_roaring("${_dir}")
    set(VANTOREL_ROARING_INCLUDE_DIR "${_dir}")
    set(VANTOREL_ROARING_LICENSE "${_dir}/LICENSE")
    set(VANTOREL_ROARING_FOUND_AS "built in from ${_dir}")
  else()
    message(WARNING "Could not fetch CRoaring ${VANTOREL_CROARING_VERSION} (${_why}); "
                    "building against the system's CRoaring instead.")
    set(_vantorel_roaring_choice "system")
  endif()
elseif(NOT _vantorel_roaring_choice STREQUAL "system")
  message(FATAL_ERROR "VANTOREL_ROARING must be builtin or system, not '${VANTOREL_ROARING}'.")
endif()

if(_vantorel_roaring_choice STREQUAL "system")
  _vantorel_find_system_roaring(TRUE _found)
  if(NOT _found)
    _vantorel_find_system_roaring(FALSE _found)
  endif()
  if(NOT _found)
    message(FATAL_ERROR "CRoaring (roaring/roaring.h and its library) was not found. "
                        ${_vantorel_roaring_missing_hint})
  endif()
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
