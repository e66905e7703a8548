# The bird file generator, the simulated chip and the child-process helper live with the test helpers.
list(APPEND bench_libs qf_testsupport)
