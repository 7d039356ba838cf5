# The hash table benchmark measures against Abseil's Swiss table; without
# Abseil (libabsl-dev, .ci/packages.d/hash) it is left out of the build.
find_package(absl QUIET)
if(absl_FOUND)
  target_link_libraries(bench_hashtable PRIVATE absl::hash absl::raw_hash_set)
else()
  message(STATUS "Abseil not found: bench_hashtable is not built (install libabsl-dev)")
  set_target_properties(bench_hashtable PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()

# The JSON rendering benchmark measures against RapidJSON's Writer (header
# only; rapidjson-dev, .ci/packages.d/render).
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/writer.h)
if(NOT RAPIDJSON_INCLUDE_DIR)
  message(STATUS "RapidJSON not found: bench_json_render is not built (install rapidjson-dev)")
  set_target_properties(bench_json_render PROPERTIES EXCLUDE_FROM_ALL TRUE)
endif()

target_link_libraries(bench_ugw_batch PRIVATE fakegwd)
target_link_libraries(bench_shmdb PRIVATE shm_writer)
