#!/usr/bin/env bash
# Runs a command on a private PipeWire graph instead of a JACK server: a fresh runtime folder
# under the system's temporary folder (its socket path must stay within the 108 bytes of a
# Unix socket name, wherever the build folder lies), PipeWire's dummy driver at 128 frames
# (TESSEL_PIPEWIRE_QUANTUM frames where that is set), and every JACK program the command starts on
# PipeWire's JACK library (pw-jack). Neither a session manager nor D-Bus is needed; PipeWire's
# two start-up errors about the session bus and the portal are harmless.
#   pipewire-run.sh <state folder> <command> [arguments...]
# Exits with 77 (the test is then reported as skipped) when PipeWire is not installed.
set -u
state=$1
shift
cannot_start=77

for tool in pipewire pw-cli pw-metadata pw-jack; do
  if ! command -v $tool >/dev/null; then
    echo "$tool is not installed: the tests on PipeWire skip"
    exit $cannot_start
  fi
done

rm -rf "$state"
mkdir -p "$state"
runtime=$(mktemp -d)  # made 0700
export XDG_RUNTIME_DIR=$runtime
unset JACK_DEFAULT_SERVER  # one graph here, whatever name a JACK client asks for
export TESSEL_ON_PIPEWIRE=1  # for tests that only PipeWire can run

pipewire >"$state/pipewire.log" 2>&1 &
pipewire_pid=$!
trap 'kill $pipewire_pid; wait $pipewire_pid; rm -rf "$runtime"' EXIT

for _ in $(seq 100); do
  pw-cli ls Node 2>/dev/null | grep -q Dummy-Driver && break
  sleep 0.1
done
if ! pw-cli ls Node 2>/dev/null | grep -q Dummy-Driver; then
  echo "PipeWire did not start; its log:"
  cat "$state/pipewire.log"
  exit 1
fi
pw-metadata -n settings 0 clock.force-quantum "${TESSEL_PIPEWIRE_QUANTUM:-128}" >/dev/null

pw-jack "$@"
