# A local-only link sharing server holds a loopback discovery slot (ports 9850-9999).
list(APPEND test_props RESOURCE_LOCK qf_ports_9850_9999)
