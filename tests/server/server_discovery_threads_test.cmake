# The simulated module; every test runs in a network namespace of its own, so it needs no lock
# on the loopback discovery ports.
list(APPEND test_libs qfsim)
