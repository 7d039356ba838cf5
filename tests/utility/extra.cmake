target_link_libraries(test_utility PRIVATE fakegwd)
# The client is also run against the real daemon with its stand-in data plane.
add_dependencies(test_utility ulmex-gateway fernrelayd fakegwd-server)
target_link_libraries(test_utility PRIVATE shm_writer)
