# Direct links to the simulated module, one road being a fake USB device behind the real libusb.
include(${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.cmake)
