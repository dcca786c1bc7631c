# The sources of the pinned CRoaring release that VANTOREL_ROARING=builtin
# compiles in: its single-file amalgamation (roaring/roaring.c,
# roaring/roaring.h) and its license (LICENSE), in one directory.
#
# vantorel_croaring_sources(<copy_dir> <var> <how_var>) sets <var> to that
# directory, taken from the first place that has it:
#   1. VANTOREL_ROARING_SOURCE_DIR, a directory the user names that holds an
#      amalgamation (roaring.c and roaring.h, optionally LICENSE), copied into
#      <copy_dir>;
#   2. third_party/croaring/ beside this project, bundled by `make sdist`;
#   3. the cache, VANTOREL_ROARING_CACHE_DIR/croaring-<version>;
#   4. the network: the source distribution of the `pyroaring` package, which
#      carries the amalgamation, fetched by name with pip, checked against a
#      known SHA-256 and unpacked into the cache.
# When none has it, configure stops and says how to go on: it never builds
# another CRoaring instead. Every source must hold the pinned version.
#
# Run as a script, it copies the sources into third_party/croaring/:
#   cmake -DPython_EXECUTABLE=... [-DVANTOREL_ROARING_SOURCE_DIR=...] -P cmake/CRoaringSources.cmake

# The pinned release: pyroaring 1.2.0 carries CRoaring 5.2.2.
set(VANTOREL_CROARING_VERSION "5.2.2")
set(_vantorel_pyroaring_version "1.2.0")
set(_vantorel_pyroaring_sha256 "e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af")

get_filename_component(_vantorel_bundled_croaring "${CMAKE_CURRENT_LIST_DIR}/../third_party/croaring" ABSOLUTE)

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
set(VANTOREL_ROARING_SOURCE_DIR "" CACHE PATH
  "A directory holding the pinned CRoaring's amalgamation (roaring.c, roaring.h, optionally LICENSE) to build from")

# Reads the CRoaring version that `header` declares ("unknown version" if none).
function(_vantorel_roaring_version_of header out_var)
  set(version "unknown version")
  if(EXISTS "${header}")
    file(STRINGS "${header}" lines REGEX "ROARING_VERSION_(MAJOR|MINOR|REVISION) *=" LIMIT_COUNT 3)
    string(REGEX REPLACE ".*MAJOR *= *([0-9]+).*MINOR *= *([0-9]+).*REVISION *= *([0-9]+).*" "\\1.\\2.\\3"
           parsed "${lines}")
    if(parsed MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
      set(version "${parsed}")
    endif()
  endif()
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()

# Reads the CRoaring version from a header directory (roaring/roaring_version.h
# of an installed CRoaring, or roaring/roaring.h of an amalgamation).
function(_vantorel_roaring_header_version include_dir out_var)
  foreach(header roaring/roaring_version.h roaring/roaring.h)
    _vantorel_roaring_version_of("${include_dir}/${header}" version)
    if(NOT version STREQUAL "unknown version")
      break()
    endif()
  endforeach()
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()

# Puts the amalgamation `c_file` and `h_file` into `dir` as roaring/roaring.c and
# roaring/roaring.h, with `license` as LICENSE (when empty: the comment block
# that opens the amalgamation, which is CRoaring's license). The directory is
# staged beside `dir` and renamed into place, so that a build that is
# interrupted, or runs at the same time, never sees half of it.
function(_vantorel_store_croaring c_file h_file license dir)
  string(RANDOM LENGTH 8 tag)
  set(stage "${dir}.partial-${tag}")
  file(MAKE_DIRECTORY "${stage}/roaring")
  file(COPY "${c_file}" "${h_file}" DESTINATION "${stage}/roaring")
  if(license)
    file(COPY "${license}" DESTINATION "${stage}")
  else()
    file(READ "${stage}/roaring/roaring.h" header LIMIT 8192)
    string(FIND "${header}" "/* begin file" end)
    string(SUBSTRING "${header}" 0 ${end} text)
    file(WRITE "${stage}/LICENSE" "CRoaring ${VANTOREL_CROARING_VERSION}\n\n${text}")
  endif()
  # (Fails, harmlessly, when a concurrent build renamed its copy first.)
  file(RENAME "${stage}" "${dir}" RESULT renamed)
  file(REMOVE_RECURSE "${stage}")
  if(NOT EXISTS "${dir}/roaring/roaring.c")
    message(FATAL_ERROR "Could not store CRoaring's sources in ${dir}: ${renamed}")
  endif()
endfunction()

# Fetches the pinned amalgamation into `dir`. Sets `why_var` to the reason when
# pip cannot fetch it (and leaves it empty when it did); a download whose
# checksum differs is a fatal error.
function(_vantorel_fetch_croaring dir why_var)
  string(RANDOM LENGTH 8 tag)
  set(work "${dir}.fetch-${tag}")
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
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR "The download of pyroaring ${_vantorel_pyroaring_version} does not have the "
                        "expected SHA-256: refusing to build from it.\n${err}")
  endif()
  if(NOT rc EQUAL 0 OR NOT EXISTS "${sdist}")
    file(REMOVE_RECURSE "${work}")
    string(STRIP "${err}" err)
    set(${why_var} "pip download failed (${rc}): ${err}" PARENT_SCOPE)
    return()
  endif()
  file(SHA256 "${sdist}" actual)
  if(NOT actual STREQUAL _vantorel_pyroaring_sha256)
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR "The download of pyroaring ${_vantorel_pyroaring_version} has SHA-256 ${actual}, "
                        "expected ${_vantorel_pyroaring_sha256}: refusing to build from it.")
  endif()
  set(member "pyroaring-${_vantorel_pyroaring_version}/pyroaring")
  file(ARCHIVE_EXTRACT INPUT "${sdist}" DESTINATION "${work}/x"
       PATTERNS "${member}/roaring.c" "${member}/roaring.h")
  _vantorel_store_croaring("${work}/x/${member}/roaring.c" "${work}/x/${member}/roaring.h" "" "${dir}")
  file(REMOVE_RECURSE "${work}")
  set(${why_var} "" PARENT_SCOPE)
endfunction()

# Stops configure: the pinned sources are nowhere to be had. Says how to go on.
function(_vantorel_croaring_unavailable why)
  set(v "${VANTOREL_CROARING_VERSION}")
  message(FATAL_ERROR
    "CRoaring ${v} is to be compiled in (VANTOREL_ROARING=builtin), but its sources are not bundled "
    "with these sources, not cached in ${VANTOREL_ROARING_CACHE_DIR}, and could not be fetched. "
    "Any one of these lets the build go on:\n"
    "- Connect to the network and build again: pip fetches the pyroaring==${_vantorel_pyroaring_version} "
    "source distribution (SHA-256 checked), and its CRoaring amalgamation stays cached for every later "
    "build, offline ones included.\n"
    "- Build against an installed CRoaring (apt-get install libroaring-dev on Debian or Ubuntu, "
    "brew install croaring on macOS): make ROARING=system, cmake -DVANTOREL_ROARING=system, "
    "or, with pip, -C cmake.define.VANTOREL_ROARING=system.\n"
    "- Point the build at a copy of CRoaring ${v}'s amalgamation, a directory DIR holding roaring.c, "
    "roaring.h and optionally LICENSE (as pyroaring-${_vantorel_pyroaring_version}/pyroaring/ in "
    "pyroaring's source distribution does): make ROARING_SOURCE_DIR=DIR, "
    "cmake -DVANTOREL_ROARING_SOURCE_DIR=DIR, or, with pip, -C cmake.define.VANTOREL_ROARING_SOURCE_DIR=DIR.\n"
    "- Install from a source distribution made with `make sdist`: it carries the amalgamation.\n"
    "${why}")
endfunction()

# Stops configure unless `header` declares the pinned version.
function(_vantorel_require_pinned_croaring header where)
  _vantorel_roaring_version_of("${header}" found)
  if(NOT found STREQUAL VANTOREL_CROARING_VERSION)
    message(FATAL_ERROR "The CRoaring sources ${where} are of CRoaring ${found}, not of the pinned "
                        "${VANTOREL_CROARING_VERSION}. Build against another CRoaring with VANTOREL_ROARING=system.")
  endif()
endfunction()

# Sets `out_var` to the directory holding the pinned CRoaring's sources (see the
# top of this file) and `how_var` to where they came from. The sources of
# VANTOREL_ROARING_SOURCE_DIR are copied into `copy_dir` first.
function(vantorel_croaring_sources copy_dir out_var how_var)
  set(v "${VANTOREL_CROARING_VERSION}")
  if(VANTOREL_ROARING_SOURCE_DIR)
    get_filename_component(given "${VANTOREL_ROARING_SOURCE_DIR}" ABSOLUTE)
    if(NOT EXISTS "${given}/roaring.c" OR NOT EXISTS "${given}/roaring.h")
      message(FATAL_ERROR "VANTOREL_ROARING_SOURCE_DIR (${given}) must hold CRoaring ${v}'s amalgamation: "
                          "roaring.c, roaring.h and optionally LICENSE.")
    endif()
    _vantorel_require_pinned_croaring("${given}/roaring.h" "in ${given}")
    set(license "")
    if(EXISTS "${given}/LICENSE")
      set(license "${given}/LICENSE")
    endif()
    set(dir "${copy_dir}")
    file(REMOVE_RECURSE "${dir}")
    _vantorel_store_croaring("${given}/roaring.c" "${given}/roaring.h" "${license}" "${dir}")
    set(how "copied from ${given}")
  elseif(EXISTS "${_vantorel_bundled_croaring}/roaring/roaring.c")
    set(dir "${_vantorel_bundled_croaring}")
    set(how "bundled in ${dir}")
  else()
    set(dir "${VANTOREL_ROARING_CACHE_DIR}/croaring-${v}")
    set(how "cached in ${dir}")
    if(NOT EXISTS "${dir}/roaring/roaring.c")
      _vantorel_fetch_croaring("${dir}" why)
      if(why)
        _vantorel_croaring_unavailable("${why}")
      endif()
    endif()
  endif()
  _vantorel_require_pinned_croaring("${dir}/roaring/roaring.h" "${how}")
  set(${out_var} "${dir}" PARENT_SCOPE)
  set(${how_var} "${how}" PARENT_SCOPE)
endfunction()

# As a script: bundle the sources into third_party/croaring/ for a source distribution.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT Python_EXECUTABLE)
    message(FATAL_ERROR "Name the Python interpreter whose pip fetches the sources: -DPython_EXECUTABLE=...")
  endif()
  vantorel_croaring_sources("${_vantorel_bundled_croaring}" _dir _how)
  if(NOT _dir STREQUAL _vantorel_bundled_croaring)
    _vantorel_store_croaring("${_dir}/roaring/roaring.c" "${_dir}/roaring/roaring.h" "${_dir}/LICENSE"
                             "${_vantorel_bundled_croaring}")
  endif()
  message(STATUS "CRoaring ${VANTOREL_CROARING_VERSION} (${_how}) bundled in ${_vantorel_bundled_croaring}")
endif()
