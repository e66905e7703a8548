# The bird file generator and the recording display live with the test helpers.
list(APPEND bench_libs qf_testsupport)
