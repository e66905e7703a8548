# The simulated boot ROM the harness writes the loader to.
target_sources(fuzz_${name} PRIVATE ${CMAKE_SOURCE_DIR}/sim/sdp/simSdpRom.cpp)
qf_layer_include_root(sim qf_fuzz_sim_root)  # "sim/<header>" for the simulator it runs
target_include_directories(fuzz_${name} PRIVATE ${qf_fuzz_sim_root})
