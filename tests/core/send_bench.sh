#!/bin/bash
# Time of one kelv send to 10, 100 and 1000 recipients, per recipient, in
# test mode and as root for real. Runs inside the real-system environment
# with KELV_SYSTEM_BENCH_USERS=1000 (scripts/bench does that). Prints figures.
set -euo pipefail
kelv=/usr/local/bin/kelv
text=$(printf 'A message of the benchmark.\n')

printf '%-6s %10s %12s %16s\n' mode recipients "total (ms)" "per recipient"
for mode in test real; do
  for n in 10 100 1000; do
    rm -rf /var/lib/kelvora/*
    recipients=$(seq -f 'bench%04g' 1 "$n" | paste -sd,)
    env=()
    [ "$mode" = test ] && env=(KELV_TEST=1 KELV_VAR=/var/lib/kelvora)
    start=$(date +%s%N)
    env "${env[@]}" "$kelv" send --to "$recipients" "$text" > /dev/null
    end=$(date +%s%N)
    total=$(( (end - start) / 1000 ))
    printf '%-6s %10d %12.1f %13.3f ms\n' "$mode" "$n" "$(echo "$total / 1000" | bc -l)" \
      "$(echo "$total / 1000 / $n" | bc -l)"
  done
done
