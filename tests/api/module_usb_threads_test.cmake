# Modules on a fake USB bus behind the real libusb; the fallback search uses the loopback
# link-server discovery ports (the program runs in a network namespace of its own).
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
# The served module of support/served_module.h registers its device link in the core's registry.
list(APPEND test_libs qf_common_internal)
