# The simulated LPC bootloader the harness flashes.
target_sources(fuzz_${name} PRIVATE ${CMAKE_SOURCE_DIR}/sim/lpcisp/simIspDevice.cpp)
