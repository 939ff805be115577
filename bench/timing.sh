# Timing helpers shared by the benchmarks (sourced, not run).

# Empties the page cache, where the machine allows it, so runs read cold.
# Where it does not (a container), the files named in BENCH_FILES are at
# least put out of this system's cache (a host below may still hold them).
drop() {
  sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
  local f; for f in ${BENCH_FILES:-}; do dd if="$f" iflag=nocache count=0 status=none 2>/dev/null || true; done
}

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
