# A module on a fake USB bus behind the real libusb that re-enumerates after its loader start.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_libs qfsim)
