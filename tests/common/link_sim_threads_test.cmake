# The engine talks to the simulated module over its real transports.
list(APPEND test_libs qfsim)
