/* Callgrind client requests for bench/run_benchmarks.py --callgrind, loaded
 * through ctypes. The runner compiles this file itself; outside valgrind the
 * requests are no-ops that cost a few instructions. */
#include <valgrind/callgrind.h>

/* Non-zero when the process runs under valgrind. */
int tovren_bench_on_valgrind(void) { return RUNNING_ON_VALGRIND; }

/* Starts a measured interval: the counters restart from zero. */
void tovren_bench_zero(void) { CALLGRIND_ZERO_STATS; }

/* Ends the interval: its counts go to a dump file of their own, whose
 * "Trigger" line carries `label`. */
void tovren_bench_dump(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }
