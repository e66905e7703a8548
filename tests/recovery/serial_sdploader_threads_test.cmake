list(APPEND test_libs qfsim)
