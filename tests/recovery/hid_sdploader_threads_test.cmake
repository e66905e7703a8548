list(APPEND test_libs qfsim)
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
