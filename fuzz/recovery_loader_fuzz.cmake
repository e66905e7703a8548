# The simulated boot ROM the harness writes the loader to.
target_sources(fuzz_${name} PRIVATE ${CMAKE_SOURCE_DIR}/sim/sdp/simSdpRom.cpp)
