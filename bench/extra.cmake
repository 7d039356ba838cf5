# The hash table benchmark measures against Abseil's Swiss table.
find_package(absl REQUIRED)
target_link_libraries(bench_hashtable PRIVATE absl::hash absl::raw_hash_set)
