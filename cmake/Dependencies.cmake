# Locates GoogleTest and Google Benchmark. Both come from the system packages
# (libgtest-dev, libbenchmark-dev); .ci/run installs them on a fresh machine.
# Macros, not functions: GoogleTest's module must be included at the caller's
# scope for test discovery to find its scripts.
include_guard(GLOBAL)

macro(jex_find_gtest)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endmacro()

macro(jex_find_benchmark)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: benchmarks are not built")
  endif()
endmacro()
