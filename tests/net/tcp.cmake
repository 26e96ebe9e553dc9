# TCP socket tests: the request rules and address utilities (no I/O), and the socket itself over
# loopback against in-process peers (also run under ThreadSanitizer).
varnel_test(tcp_rules_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_rules_test.cpp
  LIBS varnel_net
  LABELS unit)

varnel_test(tcp_socket_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_socket_test.cpp
  LIBS varnel_net
  LABELS io concurrency)

varnel_test(tcp_accept_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_accept_test.cpp
  LIBS varnel_net
  LABELS io concurrency)

# TLS against the openssl program and blocking peers on the library; certificates are made with
# the library in a temporary folder.
find_package(OpenSSL 3 REQUIRED)
varnel_test(tcp_tls_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_tls_test.cpp
  LIBS varnel_net OpenSSL::SSL OpenSSL::Crypto
  LABELS io concurrency)
