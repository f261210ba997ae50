# cpp-httplib for both builds: the single header of Debian's newest packaged
# release, fetched by scripts/setup.sh into build/third_party/httplib (Debian
# 12's own 0.11.4 reads before every request and answers a bodiless POST
# with 400). The release is checked here, so that a stale or missing fetch
# stops the build instead of changing the answers' bytes.
#
# The header is split by the library's own split.py into declarations and
# one implementation file, compiled once per build: included whole, its
# implementation was compiled again in each of the thirty files that use
# it, which tripled the sanitizer build's time.
set(PG_HTTPLIB_VERSION 0.41.0)

set(pgHttplibHeader "${PG_THIRD_PARTY}/httplib/httplib.h")
set(pgHttplibFound "none")
if(EXISTS "${pgHttplibHeader}")
  file(STRINGS "${pgHttplibHeader}" pgHttplibLine REGEX "^#define CPPHTTPLIB_VERSION \"" LIMIT_COUNT 1)
  string(REGEX REPLACE "^#define CPPHTTPLIB_VERSION \"([^\"]*)\".*" "\\1" pgHttplibFound "${pgHttplibLine}")
endif()
if(NOT pgHttplibFound STREQUAL PG_HTTPLIB_VERSION)
  message(FATAL_ERROR "cpp-httplib ${PG_HTTPLIB_VERSION} wanted in ${pgHttplibHeader}, found ${pgHttplibFound}: run scripts/setup.sh")
endif()

# A new fetch configures again, and the split follows it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pgHttplibHeader}")
set(pgHttplibSplit "${CMAKE_BINARY_DIR}/httplib")
find_program(PG_SPLIT_PYTHON NAMES python3 REQUIRED)
execute_process(COMMAND "${PG_SPLIT_PYTHON}" "${PG_THIRD_PARTY}/httplib/split.py" -o "${pgHttplibSplit}"
                RESULT_VARIABLE pgHttplibSplitFailed OUTPUT_QUIET ERROR_VARIABLE pgHttplibSplitError)
if(pgHttplibSplitFailed OR NOT EXISTS "${pgHttplibSplit}/httplib.cc")
  message(FATAL_ERROR "cpp-httplib ${PG_HTTPLIB_VERSION}: split.py failed: ${pgHttplibSplitError}")
endif()

add_library(pg_httplib STATIC "${pgHttplibSplit}/httplib.cc")
target_include_directories(pg_httplib SYSTEM PUBLIC "${pgHttplibSplit}")
# The library's own code: its warnings are not ours to mend.
target_compile_options(pg_httplib PRIVATE -w)
# The library's intervals exist only as macros, so the implementation and
# every file that includes the header must see the same values. A kept
# connection's worker looks for the next request, and for the server
# stopping, at this interval (a request wakes it at once, and the connection
# still closes two seconds after its last answer): natively four wake-ups a
# second while idle (the default, 10 ms, makes a hundred) and a stop that
# returns within a quarter of a second. Under Wine each look costs a round
# trip through wineserver: 64 idle connections at a quarter of a second took
# 9 % of a core (program and wineserver), so Windows looks once a second; its
# server is never stopped before the process ends.
if(WIN32)
  target_compile_definitions(pg_httplib PUBLIC CPPHTTPLIB_KEEPALIVE_TIMEOUT_CHECK_INTERVAL_USECOND=1000000)
  # On Windows the accept loop always waits with a time-out (1 ms by default:
  # a thousand wake-ups a second with no connection at all). Once a second
  # still lets a stopped server's loop notice; a connection wakes it at once.
  target_compile_definitions(pg_httplib PUBLIC CPPHTTPLIB_IDLE_INTERVAL_SECOND=1 CPPHTTPLIB_IDLE_INTERVAL_USECOND=0)
  # Under Wine each receive is a round trip through wineserver, which every
  # other thread's calls then wait behind: at the library's 16 KiB a storm's
  # 64 MiB bodies made 4096 receives each, and a listing answered in the
  # middle of them took twice as long (p50 75 to 80 ms, 38 to 47 ms at
  # 64 KiB). The buffer is on the stack of the worker that reads a body,
  # and only a body longer than the buffer touches all of it.
  target_compile_definitions(pg_httplib PUBLIC "CPPHTTPLIB_RECV_BUFSIZ=size_t(65536u)")
  target_link_libraries(pg_httplib PUBLIC ws2_32 crypt32)
else()
  target_compile_definitions(pg_httplib PUBLIC CPPHTTPLIB_KEEPALIVE_TIMEOUT_CHECK_INTERVAL_USECOND=250000)
  # Threads is looked up with the other native libraries (dependencies.cmake).
  target_link_libraries(pg_httplib PUBLIC Threads::Threads)
endif()
