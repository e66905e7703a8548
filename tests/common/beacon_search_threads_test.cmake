# Beacons on UDP port 8585 and the loopback discovery slots. The tests run in a network
# namespace of their own; the locks also keep them apart from tests that use the ports on the host.
list(APPEND test_props RESOURCE_LOCK "qf_port_8585;qf_ports_9850_9999")
