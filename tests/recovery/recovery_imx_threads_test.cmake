# The simulated boot ROM and the live loader as a simulated module on the fake USB bus.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_libs qfsim)
