# Holds the loopback link-server discovery ports (requests 9850-9899, replies 9950-9999).
list(APPEND test_props RESOURCE_LOCK qf_ports_9850_9999)
