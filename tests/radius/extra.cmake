# libcrypto is the MD5 / HMAC-MD5 oracle of the RADIUS tests; it never
# reaches the programs.
find_package(OpenSSL REQUIRED)
target_link_libraries(test_radius PRIVATE OpenSSL::Crypto)
