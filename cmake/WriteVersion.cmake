# Writes the header that tells the programs their version and the commit they
# were built from. Run at every build, so that a new commit shows without a
# new configuration; the header is replaced only when its text changes, so
# nothing is recompiled for nothing.
#   cmake -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=... -P WriteVersion.cmake
# SETUP_COMMIT in the environment names the commit where there is no git
# checkout (a source archive).
if(DEFINED ENV{SETUP_COMMIT} AND NOT "$ENV{SETUP_COMMIT}" STREQUAL "")
  set(commit "$ENV{SETUP_COMMIT}")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed OR commit STREQUAL "")
    set(commit "unknown")
  endif()
endif()
set(text "// Written by cmake/WriteVersion.cmake at build time.\n#pragma once\n")
string(APPEND text "#define SETUP_VERSION_TEXT \"${VERSION}\"\n#define SETUP_COMMIT_TEXT \"${commit}\"\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
