# UDP socket tests: the pure address tables, and the socket itself on loopback.
varnel_test(udp_address_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/udp_address_test.cpp
  LIBS varnel_net
  LABELS unit)
varnel_test(udp_socket_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/udp_socket_test.cpp
  LIBS varnel_net
  LABELS concurrency)
