# The native printgate (Linux, macOS): the API server over the CUPS backends.
add_executable(printgate_posix "${CMAKE_SOURCE_DIR}/tray/main_posix.cpp")
set_target_properties(printgate_posix PROPERTIES OUTPUT_NAME printgate)
pg_link_printgate(printgate_posix cups)
# Beside the Windows build's tray/printgate.exe, at build/<dir>/tray/printgate.
set_target_properties(printgate_posix PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tray")

# What ships of it: the program and its systemd user unit, installed only
# when asked for by name (the Debian package does, installer/deb/), so a
# desk's `cmake --install` of printerwatch leaves printgate to the package.
install(TARGETS printgate_posix RUNTIME DESTINATION bin COMPONENT printgate EXCLUDE_FROM_ALL)
install(FILES "${CMAKE_SOURCE_DIR}/installer/deb/printgate.service" DESTINATION lib/systemd/user
        COMPONENT printgate EXCLUDE_FROM_ALL)
