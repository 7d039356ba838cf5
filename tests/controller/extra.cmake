# The integer test reaches the generated codec's own descriptors and runtime.
target_include_directories(test_controller PRIVATE ${CMAKE_BINARY_DIR}/controller/asn1)
target_link_libraries(test_controller PRIVATE ulmex_asn1)
add_dependencies(test_controller ulmex_asn1_generate)
