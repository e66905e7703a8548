# The pooled-writes figure paces its puts by the length of the engine's outbound queue, so that it
# measures the writer and not puts waiting for room; no public call gives that length.
list(APPEND bench_libs qf_common_internal)
