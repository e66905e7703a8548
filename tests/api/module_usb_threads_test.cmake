# Modules on a fake USB bus behind the real libusb; the fallback search uses the loopback
# link-server discovery ports.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
list(APPEND test_props RESOURCE_LOCK qf_ports_9850_9999)
