#!/usr/bin/env bash
# The example host's online road on a gateway simulator of its own: it must
# log in, get the code list and the stock, index and super-stock snapshots,
# receive batches of the stock code it subscribed (and never of the one it
# did not), and get the answer to its asynchronous subscription.
#
#   check_example_online.sh EXAMPLE SIMULATOR LIBRARY
set -uo pipefail
here=$(dirname "$0")
out=$(KVO_EXAMPLE_SECONDS=${KVO_EXAMPLE_SECONDS:-3} bash "$here/../../scripts/example-on-sim.sh" "$@" 2>&1)
rc=$?
echo "$out"
fail() { echo "FAILED: $1"; exit 1; }
[ $rc -eq 0 ] || fail "the example host ended with $rc"
need() { grep -Eq "$1" <<< "$out" || fail "no line matching: $1"; }
need '^KvoLogin\(demo\) -> 0$'
need '^KvoGetCodelist\(USHA\) -> 600000,600036,601318 \(20 bytes\)$'
need '^KvoGetTickStock\(USHA\) 600000 '
need '^KvoGetTickIndex\(USHI\) 000001 '
need '^KvoGetSuperStock\(USHA\) 600000 .* bid [0-9.]+ x 200, ask [0-9.]+ x 300$'
need '^stock +[0-9]+ records  USHA 600000 '
need '^index +[0-9]+ records  USHI 000001 '
need '^trans +[0-9]+ records  USZA '
need '^order +[0-9]+ records  USZA '
need '^queue +USHA 600036 '
need '^superstock +[0-9]+ records  USHA 600000 '
need '^subscribe result: class 2 op 1 market USZA codes \(000001,000002\) -> 0 \(kind 1\)$'
need '^received [1-9][0-9]* batches'
need '^KvoReleaseInstance -> 0$'
! grep -Eq '^stock +[0-9]+ records  USHA 600036' <<< "$out" || fail "stock ticks of a code not subscribed"
echo "the example host's online road passed"
