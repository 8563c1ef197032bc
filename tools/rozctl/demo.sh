#!/usr/bin/env bash
# The guided tour behind `./dev.sh demo`: starts regd with the demo tree on a
# free loopback port, walks through the product with rozctl, stops the
# server. Must run inside the loopback-only network namespace (dev.sh does
# that); the build directory is the first argument. With --tls as the second
# argument the same tour runs over TLS: a throw-away CA and certificates are
# made with openssl in the temporary folder, regd serves TLS only and lets
# only "operator-*" write, and a few clients without a valid certificate or
# without write rights are shown being refused.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD_DIR="${1:-$ROOT/build}"
REGD="$BUILD_DIR/tools/regd/regd"
ROZCTL="$BUILD_DIR/tools/rozctl/rozctl"
TREE="$ROOT/tools/regd/demo-tree.json"
TLS=0
[ "${2:-}" = "--tls" ] && TLS=1

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
regd_tls=()
roz_tls=()
if [ "$TLS" -eq 1 ]; then
  pki="$work/pki"
  "$ROOT/tests/support/make_test_pki.sh" "$pki" >/dev/null
  regd_tls=(--tls-ca "$pki/ca.pem" --tls-key "$pki/server.pem" --writers 'operator-*')
  roz_tls=(--tls-ca "$pki/ca.pem" --tls-key "$pki/operator.pem")
fi
roz() { "$ROZCTL" --port "$PORT" "${roz_tls[@]}" "$@"; }
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
"$REGD" --tree "$TREE" --port 0 --port-file "$work/port" --log "$work/regd.log" "${regd_tls[@]}" \
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

if [ "$TLS" -eq 1 ]; then
  step "TLS: who gets in, and who may write"
  note "A throw-away CA and certificates were made with openssl in $pki."
  note "regd serves TLS only (--tls-ca ca.pem --tls-key server.pem) and lets only"
  note "identities matching 'operator-*' write (--writers). Every rozctl call of"
  note "this tour adds --tls-ca ca.pem --tls-key operator.pem (identity operator-1)."
  refused() {
    local label="$1"
    shift
    printf '$ rozctl %s\n' "$label"
    local status=0
    "$ROZCTL" --port "$PORT" "$@" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
      echo "demo: expected a refusal" >&2
      exit 1
    fi
    note "(refused, exit status $status)"
  }
  refused "ping                                  # no certificate: plain TCP" ping
  refused "--tls-key selfsigned.pem ping         # a certificate the CA did not sign" \
    --tls-ca "$pki/ca.pem" --tls-key "$pki/selfsigned.pem" ping
  refused "--tls-key expired.pem ping            # signed by the CA, but expired" \
    --tls-ca "$pki/ca.pem" --tls-key "$pki/expired.pem" ping
  printf '$ rozctl --tls-key reader.pem get settings.gain   # reader-1 may read\n'
  "$ROZCTL" --port "$PORT" --tls-ca "$pki/ca.pem" --tls-key "$pki/reader.pem" get settings.gain
  refused "--tls-key reader.pem put settings.gain 2   # ... but not write" \
    --tls-ca "$pki/ca.pem" --tls-key "$pki/reader.pem" put settings.gain 2
  note "regd's log names each refused peer with its address and identity:"
  grep -E 'refused' "$work/regd.log" | sed 's/^/    /'
fi

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
