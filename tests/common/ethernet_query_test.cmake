# Uses the simulated Ethernet module's discovery responder and the query ports 9888/9889, each
# test in a network namespace of its own.
list(APPEND test_libs qfsim)
