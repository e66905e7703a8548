# The simulated LPC bootloader.
list(APPEND test_libs qfsim)
