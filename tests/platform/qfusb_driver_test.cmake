include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
