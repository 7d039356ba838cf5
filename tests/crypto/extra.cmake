# libcrypto is the reference the crypto tests compare against; it never
# reaches the programs.
find_package(OpenSSL REQUIRED)
target_link_libraries(test_crypto PRIVATE OpenSSL::Crypto)
