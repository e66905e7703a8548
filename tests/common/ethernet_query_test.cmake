# Uses the simulated Ethernet module's discovery responder and the query ports 9888/9889. The
# tests run in a network namespace of their own, but the lock also keeps them apart from any
# test that uses the ports on the host.
list(APPEND test_libs qfsim)
list(APPEND test_props RESOURCE_LOCK qf_ports_9888_9889)
