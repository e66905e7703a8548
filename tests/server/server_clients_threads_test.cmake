# The simulated module; a local-only server holds a loopback discovery slot (the program runs in
# a network namespace of its own).
list(APPEND test_libs qfsim)
