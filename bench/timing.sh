# Timing helpers shared by the benchmarks (sourced, not run).

# Empties the page cache, where the machine allows it, so runs read cold.
drop() { sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true; }

# Seconds one command takes, its output thrown away.
once() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); awk -v s="$s" -v e="$e" 'BEGIN{print e-s}'; }

# The median of three cold runs; BENCH_BEFORE_RUN, when set, is run before each.
seconds() {
  local runs=()
  for _ in 1 2 3; do
    [ -n "${BENCH_BEFORE_RUN:-}" ] && eval "$BENCH_BEFORE_RUN"
    drop
    runs+=("$(once "$@")")
  done
  printf "%s\n" "${runs[@]}" | sort -g | sed -n 2p
}
