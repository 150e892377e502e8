#!/usr/bin/env bash
# Starts or stops the JACK server of the "jackd" test fixture: the dummy driver, no realtime
# scheduling, so it needs neither sound hardware nor privileges.
#   jackd-fixture.sh start|stop <server name> <state folder> [async]
# "async" runs the server as users usually do; otherwise each cycle waits for every client
# (--sync), so what a test plays arrives in the next cycle.
# "start" exits with 77 (the test is then reported as skipped) when jackd cannot start here.
set -u
action=$1 name=$2 state=$3 mode=${4:-sync}
pidfile=$state/jackd.pid
log=$state/jackd.log
cannot_start=77

# True when $1 is the jackd this fixture started, so a recycled pid is never signalled.
is_our_server() {
  [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "jackd.* -n $name "
}

stop_server() {
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  rm -f "$pidfile"
  is_our_server "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 50); do
    is_our_server "$pid" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  # Reaped, not only dead: JACK takes a server whose pid still exists for a running one.
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

start_server() {
  if ! command -v jackd >/dev/null; then
    echo "jackd is not installed: the tests that need JACK skip"
    exit $cannot_start
  fi
  mkdir -p "$state"
  stop_server  # left over from an interrupted run
  # A server that was killed leaves its socket and semaphores, and a new one refuses to start
  # beside them.
  rm -f /dev/shm/jack_"$name"_* /dev/shm/jack_sem.*_"$name"_*
  # A session of its own, so the server outlives this script; the output goes to the log,
  # never to the test's pipes.
  local sync=--sync
  [ "$mode" = async ] && sync=
  setsid jackd --no-realtime $sync -n "$name" -t 5000 -d dummy -r 48000 -p 512 \
    </dev/null >"$log" 2>&1 &
  echo $! >"$pidfile"
  if jack_wait -s "$name" -w -t 10 >/dev/null 2>&1; then
    echo "JACK server '$name' is running (pid $(cat "$pidfile"))"
    exit 0
  fi
  echo "jackd could not start; its log:"
  cat "$log"
  stop_server
  exit $cannot_start
}

case $action in
  start) start_server ;;
  stop) stop_server ;;
  *) echo "usage: $0 start|stop <server name> <state folder> [async]" >&2; exit 2 ;;
esac
