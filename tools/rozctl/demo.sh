#!/usr/bin/env bash
# The guided tour behind `./dev.sh demo`: starts regd with the demo tree on a
# free loopback port, walks through the product with rozctl, stops the
# server. Must run inside the loopback-only network namespace (dev.sh does
# that); the build directory is the first argument.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD_DIR="${1:-$ROOT/build}"
REGD="$BUILD_DIR/tools/regd/regd"
ROZCTL="$BUILD_DIR/tools/rozctl/rozctl"
TREE="$ROOT/tools/regd/demo-tree.json"

work="$(mktemp -d)"
regd_pid=""
cleanup() {
  if [ -n "$regd_pid" ] && kill -0 "$regd_pid" 2>/dev/null; then
    kill -TERM "$regd_pid" 2>/dev/null || true
    wait "$regd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n=== %s\n' "$*"; }
note() { printf '    %s\n' "$*"; }
roz() { "$ROZCTL" --port "$PORT" "$@"; }
# Shows the command, then runs it.
show() {
  printf '$ rozctl %s\n' "$*"
  roz "$@"
}
# The same for a command that is meant to be refused.
show_refused() {
  printf '$ rozctl %s\n' "$*"
  local status=0
  roz "$@" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    echo "demo: expected a refusal" >&2
    exit 1
  fi
  note "(refused, exit status $status)"
}
# Waits up to 20 s until `rozctl get -t NODE` prints VALUE.
wait_for() {
  local i
  for i in $(seq 200); do
    [ "$(roz get -t "$1" 2>/dev/null || true)" = "$2" ] && return 0
    sleep 0.1
  done
  echo "demo: $1 did not become $2" >&2
  exit 1
}

step "Starting the registry server"
"$REGD" --tree "$TREE" --port 0 --port-file "$work/port" --log "$work/regd.log" \
  >"$work/regd.out" 2>&1 &
regd_pid=$!
for i in $(seq 200); do
  [ -s "$work/port" ] && break
  if ! kill -0 "$regd_pid" 2>/dev/null; then
    cat "$work/regd.out" >&2
    echo "demo: regd did not start" >&2
    exit 1
  fi
  sleep 0.1
done
PORT="$(cat "$work/port")"
note "regd publishes tools/regd/demo-tree.json, a simulated four-channel data"
note "acquisition unit, on 127.0.0.1:$PORT (every rozctl call below adds --port $PORT)."
show ping

step "The registry tree (two levels; hidden nodes are not listed)"
show tree --depth 2 --flags
note "flags: r read, w write, P persistent, c constant, H hidden, x executable,"
note "       a attribute, A array, S signal"

step "Reading values of different types"
show get identity.model settings.gain settings.sample_rate settings.timeout_ns \
  settings.enabled settings.mode calibration.coefficients calibration.channel_names
show get --json settings.gain settings.mode

step "What a node is"
show info settings.mode

step "Writing values: the old and the new value"
show put settings.gain 2.5
show put calibration.offsets 1,2,3,4

step "An enumeration takes only its domain values"
show_refused put settings.mode turbo

step "Running a command: reset restores the settings"
show exec reset
show get settings.gain calibration.offsets

step "Monitoring: three changes made while rozctl monitor listens"
printf '$ rozctl monitor -n 3 settings.gain settings.mode &\n'
roz monitor -n 3 --timeout 30 settings.gain settings.mode >"$work/monitor.out" 2>&1 &
monitor_pid=$!
wait_for regd.subscriptions 2
for change in "settings.gain 4" "settings.mode fast" "settings.gain 8"; do
  # shellcheck disable=SC2086
  printf '$ rozctl put %s\n' "$change"
  roz put $change >/dev/null
done
wait "$monitor_pid"
note "monitor printed (path, time of arrival, value):"
sed 's/^/    /' "$work/monitor.out"
roz exec reset >/dev/null

step "A push stream: five blocks of signals.scope (x = sine, y = cosine)"
show stream signals.scope -n 5

step "Data on demand: signals.history read at position 1000"
show stream signals.history --pos 1000 -n 3 --atoms 100

step "Stopping the server"
kill -TERM "$regd_pid"
status=0
wait "$regd_pid" || status=$?
regd_pid=""
note "regd ended with exit status $status"
[ "$status" -eq 0 ]
printf '\nDemo finished. Next: ./dev.sh test runs the whole test suite.\n'
