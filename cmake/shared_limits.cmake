# The limits the Python suites hold the programs to, written for them
# (tests/pylib/limits.py) from the limits' one home in the C++: a limit that
# moves or is renamed there stops the configure instead of leaving the
# suites a stale copy.
function(pg_read_limit out file name)
  file(STRINGS "${CMAKE_SOURCE_DIR}/${file}" lines REGEX "^(constexpr|const) [a-z_]+ ${name} = [0-9]+;")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${file} must set ${name} on one line of its own (tests/pylib/limits.py reads it)")
  endif()
  string(REGEX MATCH " = ([0-9]+)" value "${lines}")
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${file}")
endfunction()

pg_read_limit(PG_LISTEN_BACKLOG api/api_server.cpp kListenBacklog)
pg_read_limit(PG_WORKERS api/api_server.cpp kMaxWorkers)
pg_read_limit(PG_RESTING_WORKERS api/api_server.cpp kRestingWorkers)
pg_read_limit(PG_KEEP_ALIVE_SECONDS api/api_server.cpp kKeepAliveSeconds)
pg_read_limit(PG_KEEP_ALIVE_REQUESTS api/api_server.cpp kKeepAliveRequests)
pg_read_limit(PG_SCHEDULER_CONNECTION_LIMIT base/scheduler_connection.h kSchedulerConnectionLimit)
pg_read_limit(PG_SCHEDULER_CONNECTIONS_KEPT base/scheduler_connection.h kSchedulerConnectionsKept)
configure_file("${CMAKE_CURRENT_LIST_DIR}/pg_limits.py.in" "${CMAKE_BINARY_DIR}/generated/pg_limits.py" @ONLY)
