# The bird file generator lives with the test helpers.
list(APPEND bench_libs qf_testsupport)
