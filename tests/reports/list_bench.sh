#!/bin/bash
# How long kelv list and kelv status take on a large store, and how many
# child processes they start. Builds a test-mode store by writing its files
# directly: MESSAGES sent records (default 1000) of RECIPIENTS recipients each
# (default 200), taken from the accounts of this machine. The mailbox records
# are cached per user name, so the number of distinct accounts, not of
# recipients, decides the number of children; when the machine has fewer
# accounts than RECIPIENTS, the names repeat. Prints figures; asserts nothing.
#
#   list_bench.sh KELV [MESSAGES] [RECIPIENTS]
set -euo pipefail

kelv=${1:?usage: list_bench.sh KELV [MESSAGES] [RECIPIENTS]}
messages=${2:-1000}
recipients=${3:-200}
command -v strace > /dev/null || { echo "list_bench.sh: strace is needed to count children" >&2; exit 1; }

store=$(mktemp -d "${TMPDIR:-/tmp}/kelvora-bench-XXXXXX")
trap '[ -n "${KEEP_STORE:-}" ] || rm -rf "$store"' EXIT
export KELV_TEST=1 KELV_VAR=$store KELV_TEST_TTY=$store/tty TZ=UTC
: > "$store/tty"

mapfile -t accounts < <(getent passwd | cut -d: -f1 | sort -u)
distinct=$(( ${#accounts[@]} < recipients ? ${#accounts[@]} : recipients ))
base=$(( $(date +%s) - messages * 60 ))

# Sent records: msg, recipients, delivery (every recipient delivered).
printf '%s\n' "${accounts[@]}" | awk -v dir="$store/sent" -v n="$messages" -v r="$recipients" -v base="$base" '
    { name[NR - 1] = $0; count = NR }
    END {
        system("mkdir -p " dir)
        for (m = 1; m <= n; m++) {
            d = dir "/" m
            system("mkdir " d)
            date = base + m * 60
            f = d "/msg"
            printf "format: 1\nid: %d\nfrom: root\ndate: %d\ntitle: Bench %d\nexpires: \n\nMessage number %d of the benchmark, a line of ordinary length.\n", m, date, m, m > f
            close(f)
            f = d "/recipients"; g = d "/delivery"
            for (i = 0; i < r; i++) {
                u = name[i % count]
                print u > f
                if (i < count)
                    printf "%s %d 1\n", u, date > g
            }
            close(f); close(g)
        }
        print n > (dir "/.seq")
    }'

# Mailboxes: each user confirmed every other message and put some off.
for i in "${!accounts[@]}"; do
    (( i < distinct )) || break
    box=$store/users/${accounts[$i]}
    mkdir -p "$box/inbox" "$box/read" "$box/acks" "$box/state"
    awk -v box="$box" -v n="$messages" -v i="$i" -v base="$base" 'BEGIN {
        for (m = 1; m <= n; m++) {
            if ((m + i) % 2 == 0) { f = box "/acks/" m; printf "%d desktop\n", base + m * 60 + 30 > f; close(f) }
            else if (m % 3 == 0) { f = box "/state/" m ".term"; printf "" > f; close(f) }
        }
    }'
done

# Seconds of the best of three runs, and the children of one run.
measure() {
    local label=$1; shift
    local best=
    for _ in 1 2 3; do
        local start end took
        start=$(date +%s.%N)
        "$kelv" "$@" > /dev/null
        end=$(date +%s.%N)
        took=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
        if [ -z "$best" ] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
    done
    strace -f -qq -c -e trace=clone,clone3,fork,vfork -o "$store/strace" "$kelv" "$@" > /dev/null
    local children
    children=$(awk '$NF ~ /^(clone|clone3|fork|vfork)$/ { n += $4 } END { print n + 0 }' "$store/strace")
    printf '%-16s %8.3f s   %5d child processes\n' "$label" "$best" "$children"
}

echo "store: $messages messages x $recipients recipients, $distinct distinct accounts"
measure "kelv list" list
measure "kelv status $(( messages / 2 ))" status $(( messages / 2 ))
