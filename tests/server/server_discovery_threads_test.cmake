# The simulated module. The tests run in network namespaces of their own; the lock on the
# loopback discovery ports (9850-9999) also keeps them apart from the tests on the host.
list(APPEND test_libs qfsim)
list(APPEND test_props RESOURCE_LOCK qf_ports_9850_9999)
