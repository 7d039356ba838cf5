# The hash table benchmark measures against Abseil's Swiss table; without
# Abseil (libabsl-dev, .ci/packages.d/hash) it is left out of the build.
find_package(absl QUIET)
if(absl_FOUND)
  target_link_libraries(bench_hashtable PRIVATE absl::hash absl::raw_hash_set)
else()
  message(STATUS "Abseil not found: bench_hashtable is not built (install libabsl-dev)")
  set_target_properties(bench_hashtable PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()
# The flow benchmark starts the data-plane stand-in.
target_compile_definitions(bench_flow_setup PRIVATE UGW_BIN_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(bench_flow_setup fernrelayd)
