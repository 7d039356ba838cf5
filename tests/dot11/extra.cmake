# libcrypto is the reference the key and MIC tests compare against; it never
# reaches the programs.
find_package(OpenSSL REQUIRED)
target_link_libraries(test_dot11 PRIVATE OpenSSL::Crypto)
