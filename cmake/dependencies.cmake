# Every third-party library the build uses, looked up once for the whole
# tree: Debian's packages natively, their sources (fetched by
# scripts/setup.sh) when cross building; cpp-httplib from its single header
# in both builds. A missing one stops the configure.
include("${CMAKE_SOURCE_DIR}/cmake/httplib.cmake")
if(WIN32)
  # Code includes <cjson/cJSON.h> as Debian installs it; give the source tree
  # the same layout.
  configure_file("${PG_THIRD_PARTY}/cjson/cJSON.h" "${CMAKE_BINARY_DIR}/cjson_inc/cjson/cJSON.h" COPYONLY)
  add_library(pg_cjson STATIC "${PG_THIRD_PARTY}/cjson/cJSON.c")
  target_include_directories(pg_cjson SYSTEM PUBLIC "${CMAKE_BINARY_DIR}/cjson_inc")
  # zlib from libz-mingw-w64-dev, linked statically as everything of the
  # .exe.
  add_library(pg_zlib INTERFACE)
  target_link_libraries(pg_zlib INTERFACE z)
  add_link_options(-static -static-libgcc -static-libstdc++)
  return()
endif()

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
add_library(pg_cjson INTERFACE)
target_link_libraries(pg_cjson INTERFACE PkgConfig::CJSON)

# zlib: the print job's check of a label image inflates PNG data.
find_package(ZLIB REQUIRED)
add_library(pg_zlib INTERFACE)
target_link_libraries(pg_zlib INTERFACE ZLIB::ZLIB)

# The native programs: CUPS for both, iconv for messages in the locale's
# encoding, cairo and gdk-pixbuf for printgate's print job.
find_package(Cups REQUIRED)
find_package(Iconv REQUIRED)
pkg_check_modules(CAIRO_PDF REQUIRED IMPORTED_TARGET cairo-pdf)
pkg_check_modules(GDK_PIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
# The Linux printerwatch: udev discovery, systemd notices.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
endif()
if(PG_TESTS)
  find_package(GTest REQUIRED)
endif()
# The benchmarks' anchor for the base64 decoder.
if(NOT PG_FUZZ AND PG_TESTS)
  find_package(OpenSSL REQUIRED)
endif()
