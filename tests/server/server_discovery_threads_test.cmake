# The simulated module; the loopback discovery slots and the beacon port (the beacon tests run
# in a network namespace of their own; the locks also keep them apart from tests on the host).
list(APPEND test_libs qfsim)
list(APPEND test_props RESOURCE_LOCK "qf_port_8585;qf_ports_9850_9999")
