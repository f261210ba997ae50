# The native printgate (Linux, macOS): the API server over the CUPS backends.
add_executable(printgate_posix "${CMAKE_SOURCE_DIR}/tray/main_posix.cpp")
set_target_properties(printgate_posix PROPERTIES OUTPUT_NAME printgate)
pg_link_printgate(printgate_posix cups)
# Beside the Windows build's tray/printgate.exe, at build/<dir>/tray/printgate.
set_target_properties(printgate_posix PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tray")

# Its Debian package, on demand: cmake --build build/native --target deb
# writes build/native/installer/printgate_<version>_<arch>.deb.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_custom_target(deb
    COMMAND bash "${CMAKE_SOURCE_DIR}/installer/deb/build_deb.sh" "${CMAKE_BINARY_DIR}/installer"
            "${PROJECT_VERSION}" "$<TARGET_FILE:printgate_posix>"
    DEPENDS printgate_posix
    COMMENT "Building the Debian package")
endif()
