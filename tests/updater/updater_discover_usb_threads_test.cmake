# A module on a fake USB bus behind the real libusb and an Ethernet module answering the
# discovery query (ports 9888/9889) inside a private network namespace.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_libs qfsim)
list(APPEND test_props RESOURCE_LOCK qf_ports_9888_9889)
