# The program reaches a module on the fake USB bus of the test process.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_libs qfsim)
