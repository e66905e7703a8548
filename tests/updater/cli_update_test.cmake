# Simulated Ethernet modules answer the discovery query (ports 9888/9889) inside a private
# network namespace; the lock keeps the tests apart from any other user of those ports.
list(APPEND test_libs qfsim)
list(APPEND test_props RESOURCE_LOCK qf_ports_9888_9889)
