# Run by cpack alone, as it stages the Debian package in DESTDIR: lintian's
# overrides belong in the package, where lintian looks for them, and never in
# a plain cmake --install.
if(NOT DEFINED ENV{DESTDIR})
  message(FATAL_ERROR "lintian-overrides.cmake installs into cpack's staging folder only")
endif()
file(INSTALL ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
  DESTINATION /usr/share/lintian/overrides RENAME msgdb-trim)
