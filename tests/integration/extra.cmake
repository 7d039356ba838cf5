add_dependencies(test_integration fernrelayd ipcpeer fakegwd-server ctlpeer ulmex-gateway)
# The simulated station derives its keys with libcrypto, the reference the
# supplicant test checks the handshake against.
find_package(OpenSSL REQUIRED)
target_link_libraries(test_integration PRIVATE OpenSSL::Crypto)
