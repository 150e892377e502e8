#!/usr/bin/env bash
# Builds the Debian package and lints it, installs it, runs the installed program as an ordinary
# user with an empty home (first as a fresh copy, then as a server set up by its settings file),
# runs the server without a window as its system service would, where the package holds it, and
# purges the package again, whatever happens on the way.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo -E)
export DEBIAN_FRONTEND=noninteractive

printf '\n==== %s ====\n' "Debian package: build, lint, install, run as an ordinary user, purge"
if dpkg-query -W -f='${Status}' tessel 2>/dev/null | grep -q 'install ok installed'; then
  echo "tessel is installed on this machine; this check would replace and purge it" >&2
  exit 1
fi

scripts/package.sh
deb=./tessel_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb
lintian --fail-on error,warning "$deb"

work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true
  "${as_root[@]}" apt-get purge -y -q tessel >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

milliseconds() { echo $((${EPOCHREALTIME/./} / 1000)); }

start=$(milliseconds)
"${as_root[@]}" apt-get install -y -q "$deb"
echo "apt install: $(($(milliseconds) - start)) ms"
desktop-file-validate /usr/share/applications/org.example.tessel.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.example.tessel.metainfo.xml

# The super-user runs the program as nobody; anyone else runs it as themselves.
mkdir -m 0755 "$work/home"
mkdir -m 0700 "$work/run"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 0755 "$work"
  chown nobody:nogroup "$work/home" "$work/run"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
settings=$work/home/.config/tessel/tessel.INI
# Standard error of every run goes to the log, standard output to $out.
out=$work/tessel.log

# Arguments: the variables of the run's environment, then the command.
run_tessel() {
  "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" "$@" \
    >>"$out" 2>>"$work/tessel.log" &
  pid=$!
}

show_output() {
  cat "$work/tessel.log" >&2
  [ "$out" = "$work/tessel.log" ] || cat "$out" >&2
}

# Waits up to ten seconds for a condition, failing with the program's output.
wait_for() {
  for _ in $(seq 100); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  echo "timed out waiting for: $*" >&2
  show_output
  exit 1
}

# The program's termination handler is in place once SIGTERM is among the caught signals, or
# among the blocked ones for a signalfd to read.
catches_sigterm() {
  local caught blocked
  read -r caught blocked < <(awk '/^SigCgt/ {c = $2} /^SigBlk/ {b = $2} END {print c, b}' \
    "/proc/$pid/status")
  (((0x$caught | 0x$blocked) & 1 << 14))
}
# Gone, or a zombie that the shell has not reaped yet.
ended() { ! grep -qs '^State:[^Z]*$' "/proc/$pid/status"; }

stop_tessel() {
  kill -TERM "$pid"
  wait_for ended
  local status=0
  wait "$pid" || status=$?
  pid=
  if [ "$status" -ne 0 ]; then
    echo "the program ended with status $status after SIGTERM" >&2
    show_output
    exit 1
  fi
}

run_tessel QT_QPA_PLATFORM=offscreen /usr/bin/tessel
wait_for catches_sigterm
sleep 1
stop_tessel
keys=$(sed -n 's/=.*//p' "$settings" | tr '\n' ' ')
expected="Left Top Width Height MidiIn MidiOut BufferTime BufferResolution Port IsSever ServerName \
Monitoring YourName AutoStart DisableNagle AutoBufferTime WhoMayConnect AllowedPeers PasswordKey \
ServerPasswordKey RtpMidi "
if [ "$keys" != "$expected" ]; then
  echo "$settings holds the keys: $keys" >&2
  exit 1
fi

free_port() {
  port=5401
  while ss -Hltn "sport = :$port" | grep -q .; do port=$((port + 1)); done
}
free_port
printf '[Settings]\nIsSever=1\nPort=%d\nAutoStart=1\n' "$port" >"$settings"
listening() { ss -Hltn "sport = :$port" | grep -q .; }
# The server runs as the user service would run it, with the unit's environment and command.
unit=/usr/lib/systemd/user/tessel.service
read -ra service <<<"$(sed -n 's/^Environment=//p; s/^ExecStart=//p' "$unit" | tr '\n' ' ')"
start=$(milliseconds)
run_tessel "${service[@]}"
wait_for listening
echo "server listening on port $port $(($(milliseconds) - start)) ms after its start"
stop_tessel

# The server without a window, from a package that holds it, runs with its system unit's
# command; the unit's state folder is one of ours. Its settings name only the port: it always
# serves and listens at start.
if [ -x /usr/bin/tessel-server ]; then
  unit=$(dpkg -L tessel | grep '/systemd/system/tessel-server\.service$') || {
    echo "the package holds /usr/bin/tessel-server but no tessel-server.service" >&2
    exit 1
  }
  if command -v systemd-analyze >/dev/null; then systemd-analyze verify --man=no "$unit"; fi
  state=$work/state
  mkdir -m 0755 "$state" "$state/tessel-server"
  server_settings=$state/tessel-server/tessel.INI
  free_port
  printf '[Settings]\nPort=%d\n' "$port" >"$server_settings"
  cp "$server_settings" "$work/server-settings.before"
  [ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$state/tessel-server"
  read -ra service <<<"$(sed -n 's/^ExecStart=//p' "$unit" | sed "s|%S|$state|g")"
  out=$work/server.out
  start=$(milliseconds)
  run_tessel "${service[@]}"
  wait_for grep -qsF 'Server : Starts Listening' "$out"
  echo "tessel-server listening on port $port $(($(milliseconds) - start)) ms after its start"
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "tessel-server said it listens, but 127.0.0.1:$port refuses a connection" >&2
    show_output
    exit 1
  fi
  wait_for catches_sigterm
  stop_tessel
  if cmp -s "$server_settings" "$work/server-settings.before" ||
    ! grep -qx "Port=$port" "$server_settings"; then
    echo "tessel-server did not save its settings on SIGTERM; $server_settings holds:" >&2
    cat "$server_settings" >&2
    exit 1
  fi
fi
echo "package check passed"
