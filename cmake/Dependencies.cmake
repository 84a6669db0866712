# Locates GoogleTest and Google Benchmark. Both come from the system packages
# (libgtest-dev, libbenchmark-dev); .ci/run installs them on a fresh machine.
include_guard(GLOBAL)

function(jex_find_gtest)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endfunction()

function(jex_find_benchmark)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: benchmarks are not built")
  endif()
endfunction()
