# Run at every build (cmake -P): writes the version header, with `git
# describe` of the source where it is a git checkout, and rewrites it only
# when the text changes, so that an unchanged checkout rebuilds nothing.
#   -DSOURCE_DIR=... -DOUTPUT=... -DPROJECT_VERSION=...
set(describe "")
find_package(Git QUIET)
if(GIT_FOUND)
  # Only the source's own checkout: sources unpacked inside another
  # repository must not take its description.
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top ERROR_QUIET RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(source "${SOURCE_DIR}" REALPATH)
  if(NOT failed AND top)
    get_filename_component(top "${top}" REALPATH)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty --tags
                    OUTPUT_VARIABLE describe ERROR_QUIET RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(failed)
      set(describe "")
    endif()
  endif()
endif()
set(text "// Written by cmake/git-version.cmake at build time.
#pragma once
#define UPDATE_VERSION \"${PROJECT_VERSION}\"
#define UPDATE_GIT_DESCRIBE \"${describe}\"
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
