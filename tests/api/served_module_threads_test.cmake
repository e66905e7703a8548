# Looks in the core's registry for a device link to the module: the last client's end
# takes the served device link with it, and no public call lists the registered links.
list(APPEND test_libs qf_common_internal)
