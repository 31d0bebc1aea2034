# Sourced by the footprint benches: CPU ticks of the process $pid, in all
# and per thread name, and the report of what a window used.

cpu() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }

# CPU ticks per thread name, so the backend's own threads can be told from
# the service's.
threads() {
  for task in /proc/"$pid"/task/*; do
    printf '%s %s\n' "$(tr ' ' '_' <"$task/comm")" "$(awk '{ print $14 + $15 }' "$task/stat")"
  done | awk '{ sum[$1] += $2 } END { for (n in sum) print n, sum[n] }' | sort
}

# report_cpu START_CPU END_CPU START_THREADS END_THREADS SECONDS
report_cpu() {
  local ticks
  ticks=$(getconf CLK_TCK)
  awk -v used="$(($2 - $1))" -v ticks="$ticks" -v s="$5" \
    'BEGIN { printf "CPU: %.2f%% of one core over %d s\n", 100 * used / ticks / s, s }'
  echo "per thread (CPU ticks of 1/$ticks s over the window):"
  join -a 2 <(echo "$3") <(echo "$4") |
    awk '{ used = (NF == 3 ? $3 - $2 : $2); if (used > 0) printf "  %-16s %d\n", $1, used }'
}
