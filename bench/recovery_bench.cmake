# The bird file generator, the simulated chip and the child-process helpers live with the test helpers.
list(APPEND bench_libs qf_testsupport)
# The benchmark runs the updater program itself.
add_dependencies(benchmarks updater)
