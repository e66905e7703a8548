# Looks in the core's registry for a device link to the module: refused and given-up connections
# must leave none behind, and no public call lists the registered links.
list(APPEND test_libs qf_common_internal)
