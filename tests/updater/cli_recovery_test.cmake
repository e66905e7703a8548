# The simulated LPC bootloader and i.MX boot ROM; the i.MX live loader appears on the fake USB bus.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_libs qfsim)
