# A module on a fake USB bus behind the real libusb and an Ethernet module answering the
# discovery query (ports 9888/9889) inside a network namespace of its own.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_libs qfsim)
