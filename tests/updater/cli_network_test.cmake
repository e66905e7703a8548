# Simulated Ethernet modules answer the discovery query (ports 9888/9889), each test in a
# network namespace of its own.
list(APPEND test_libs qfsim)
