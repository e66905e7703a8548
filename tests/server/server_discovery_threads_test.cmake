# The simulated module, and the loopback discovery slots (ports 9850-9999) of the host. The
# beacon tests run in a network namespace of their own, where port 8585 is theirs alone.
list(APPEND test_libs qfsim)
list(APPEND test_props RESOURCE_LOCK qf_ports_9850_9999)
