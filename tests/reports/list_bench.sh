#!/bin/bash
# What the reports cost on a large store. Builds a test-mode store by writing
# its files directly: MESSAGES sent records (default 1000) of RECIPIENTS
# recipients each (default 200), taken from the accounts of this machine. The
# mailbox records are cached per user name, so the number of distinct
# accounts, not of recipients, decides the number of children; when the
# machine has fewer accounts than RECIPIENTS, the names repeat. Prints, and
# asserts nothing:
#  - kelv list and kelv status: the best of three runs, and the child
#    processes of one;
#  - reading every mailbox (with RECORDS_BENCH, the records_bench program):
#    through kelv's children one at a time and several at once,
#    against the floor of reading the same records in one process;
#  - the idle interface (needs tmux): kelv without a command in a terminal,
#    left alone for 30 seconds: its share of one core (itself and its
#    children), the CPU time per reload (redraws included), and in another
#    30 seconds, during which one user confirms a message, its child
#    processes per reload.
#
#   list_bench.sh KELV [MESSAGES] [RECIPIENTS] [RECORDS_BENCH]
set -euo pipefail

kelv=${1:?usage: list_bench.sh KELV [MESSAGES] [RECIPIENTS] [RECORDS_BENCH]}
messages=${2:-1000}
recipients=${3:-200}
records_bench=${4:-}
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

if [ -n "$records_bench" ]; then
    echo
    "$records_bench" 3
fi

command -v tmux > /dev/null || { echo "(no tmux: the idle interface is not measured)"; exit 0; }

# The interface in a window of its own tmux server; the pane runs kelv itself.
sock=$store/tmux.sock
tmux -S "$sock" -f /dev/null new-session -d -x 200 -y 50 \
    "exec env KELV_TEST=1 KELV_VAR=$store KELV_TEST_TTY=$store/tty TZ=UTC $kelv"
trap 'tmux -S "$sock" kill-server 2> /dev/null; [ -n "${KEEP_STORE:-}" ] || rm -rf "$store"' EXIT
pid=$(tmux -S "$sock" display -p '#{pane_pid}')
loaded_at() { tmux -S "$sock" capture-pane -p | grep -o 'updated at [0-9:]*' | head -1; }
for _ in $(seq 600); do [ -n "$(loaded_at)" ] && break; sleep 0.1; done
[ -n "$(loaded_at)" ] || { echo "the interface did not start" >&2; exit 1; }
sleep 4 # past the first timed reload

# CPU ticks of the interface and of its children that it has reaped.
ticks() { awk '{ print $14 + $15 + $16 + $17 }' "/proc/$pid/stat"; }
# Watches the load time for the given seconds and prints the number of
# reloads it saw (each shows a new time; they are about 3 seconds apart).
count_reloads() {
    local seen=() last= now
    for _ in $(seq $(( $1 * 4 ))); do
        now=$(loaded_at)
        [ "$now" != "$last" ] && [ -n "$last" ] && seen+=("$now")
        last=$now
        sleep 0.25
    done
    echo "${#seen[@]}"
}

hz=$(getconf CLK_TCK)
before=$(ticks)
reloads=$(count_reloads 30)
after=$(ticks)
cpu=$(awk -v t=$(( after - before )) -v hz="$hz" 'BEGIN { printf "%.3f", t / hz }')
echo
echo "idle interface over 30 s ($reloads reloads):"
awk -v c="$cpu" -v r="$reloads" 'BEGIN {
    printf "  %-26s %6.1f %% of one core\n", "CPU share", c / 30 * 100
    printf "  %-26s %6.1f ms\n", "CPU per reload", r ? c / r * 1000 : 0 }'

# Children: strace counts the forks; halfway through, one user confirms.
strace -f -qq -p "$pid" -e trace=clone,clone3,fork,vfork -o "$store/strace.idle" &
tracer=$!
sleep 1
reloads=$(count_reloads 14)
user=${accounts[0]}
printf '%d desktop\n' "$(date +%s)" > "$store/users/$user/acks/1"
reloads=$(( reloads + $(count_reloads 15) ))
kill "$tracer"
wait "$tracer" 2> /dev/null || true
children=$(grep -cE '(clone3?|v?fork)\(' "$store/strace.idle" || true)
awk -v c="$children" -v r="$reloads" 'BEGIN {
    printf "  %-26s %6.2f (%d in %d reloads, one user confirming once)\n", "children per reload", r ? c / r : 0, c, r }'
