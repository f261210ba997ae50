# The product version, set once by project(... VERSION ...): a header for the
# code (pg_version.h, on every target's include path) and, for the Windows
# programs, a version resource per executable.
configure_file("${CMAKE_CURRENT_LIST_DIR}/version.h.in" "${CMAKE_BINARY_DIR}/generated/pg_version.h" @ONLY)
include_directories("${CMAKE_BINARY_DIR}/generated")

# Adds a VERSIONINFO resource to a Windows executable target.
function(pg_version_resource target description)
  set(PG_RC_NAME "${target}")
  set(PG_RC_FILE "${target}.exe")
  set(PG_RC_DESCRIPTION "${description}")
  set(rc "${CMAKE_BINARY_DIR}/generated/${target}_version.rc")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/version.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()
