# libcrypto is the reference the CCM and PRF tests compare against; it never
# reaches the programs.
find_package(OpenSSL REQUIRED)
target_link_libraries(test_dtls PRIVATE OpenSSL::Crypto)
