# Read by cpack before it packs: every time stamp in the packages comes from
# the source, never from the clock. A SOURCE_DATE_EPOCH already set is
# honoured; otherwise it is the last commit's time where the source is a git
# checkout of its own, and the date of the change log's newest entry where it
# is not (a source archive).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  get_filename_component(source "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
  execute_process(COMMAND git -C "${source}" rev-parse --show-toplevel
    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(epoch "")
  if(top STREQUAL source)
    execute_process(COMMAND git -C "${source}" log -1 --format=%ct
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    execute_process(COMMAND dpkg-parsechangelog -l "${CMAKE_CURRENT_LIST_DIR}/changelog"
      -S Timestamp OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No date for the packages' time stamps: set SOURCE_DATE_EPOCH")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
