#!/usr/bin/env bash
# The demo's story, run by scripts/demo.sh once everything is built and a display (real, Xvfb or
# SDL's dummy driver) is chosen: make a release signing key, publish release 1.0.0 signed on a
# local aus-server, let the launcher (which holds the public key) verify and install it and start
# the game, start again with nothing to do, publish 1.1.0 signed and update, start once more to
# see the old copies cleared.
#
# Environment: BUILD (default build), GAME_SECONDS (how long the game shows its window, default 3),
# LAUNCHER_TIMEOUT (seconds before a launcher run that does not end is stopped, default 120),
# DEMO_KEEP=1 keeps the temporary folder, WINDOWS_BUILD (a build-windows folder: the Windows
# launcher.exe and Kolvex.exe from there run under wine). Exits 0 when every step did what it
# should, else 1.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath "${BUILD:-build}")
windows=""
game=$build/bin/Kolvex.exe
if [ -n "${WINDOWS_BUILD:-}" ]; then
  windows=$(realpath "$WINDOWS_BUILD")
  game=$windows/bin/Kolvex.exe
  wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  export WINEPREFIX=${WINEPREFIX:-$windows/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
fi
game_seconds=${GAME_SECONDS:-3}
launcher_timeout=${LAUNCHER_TIMEOUT:-120}
token=D41C7A90E35B4F2688A1C0E97B52F3D6

work=$(mktemp -d "${TMPDIR:-/tmp}/kolvex-demo.XXXXXX")
releases=$work/releases
builds=$work/builds
keys=$work/keys
install=$work/Kolvex
record=$work/game-arguments.txt
server_log=$work/aus-server.log
server_pid=""
port=""
failures=0

stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
cleanup() {
  stop_server
  if [ "${DEMO_KEEP:-0}" = 1 ]; then
    echo "The demo's files are kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { printf '\n== %s\n' "$*"; }
note() { printf '   %s\n' "$*"; }
fail() {
  printf '   FAILED: %s\n' "$*"
  failures=$((failures + 1))
}

# Files of a folder with their sizes, one per line.
listing() { (cd "$1" && find . -type f -printf '%10s  %P\n' | LC_ALL=C sort -k2); }

# Starts aus-server on the releases folder; the first start picks a free port, restarts reuse it.
start_server() {
  : >"$server_log"
  "$build/bin/aus-server" --releases "$releases" --listen 127.0.0.1 --port "${port:-0}" \
    >"$server_log" 2>&1 &
  server_pid=$!
  local deadline=$((SECONDS + 60)) line=""
  while [ $SECONDS -lt $deadline ]; do
    line=$(grep -m1 -o 'listening on 127.0.0.1 port [0-9]*' "$server_log" || true)
    [ -n "$line" ] && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
      cat "$server_log"
      echo "aus-server ended before listening" >&2
      exit 1
    fi
    sleep 0.2
  done
  if [ -z "$line" ]; then
    cat "$server_log"
    echo "aus-server did not start listening within 60 seconds" >&2
    exit 1
  fi
  port=${line##* }
  sed 's/^/   server| /' "$server_log"
}

# Runs the launcher in the installation's bin/ folder, as a player would, and shows its output.
# The command-line tail "--seconds N" travels through the launcher to the game. The game inherits
# the launcher's standard output, so the pipe below also waits for the game to close.
run_launcher() {
  local status=0
  if [ -n "$windows" ]; then
    # Under wine; the game is a Windows program of its own, waited for with the wine server.
    (cd "$install/bin" && KOLVEX_RECORD="Z:$record" exec timeout -s TERM "$launcher_timeout" \
      "$wine" launcher.exe --seconds "$game_seconds") 2>&1 | tr -d '\r' | sed -u 's/^/   | /' ||
      status=$?
    timeout -s KILL "$launcher_timeout" "$wineserver" -w || true
  else
    (cd "$install/bin" && KOLVEX_RECORD="$record" exec timeout -s TERM "$launcher_timeout" \
      ./launcher.exe --seconds "$game_seconds") 2>&1 | sed -u 's/^/   | /' || status=$?
  fi
  note "launcher exit code: $status"
  [ "$status" -eq 0 ] || fail "the launcher ended with $status"
}

# Checks that the installation holds the release's required files byte for byte, without the
# optional one, and that the game was started once more with the launch token and the tail.
check_run() {
  local version=$1 games_before=$2 optional differing=()
  optional=$(sed -n 's/^optional=//p' "$releases/$version/manifest" | tr '\\' /)
  while IFS= read -r file; do
    if [ "$file" = "$optional" ]; then
      [ ! -e "$install/$file" ] || fail "optional $file was installed"
    elif ! cmp -s "$releases/$version/$file" "$install/$file"; then
      differing+=("$file")
    fi
  done < <(cd "$releases/$version" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  if [ ${#differing[@]} -gt 0 ]; then
    fail "${#differing[@]} file(s) missing or different from release $version: ${differing[*]}"
  else
    note "installation matches release $version (optional $optional not installed)"
  fi
  [ -f "$install/Update.db" ] || fail "no Update.db in the installation root"

  local games_after expected
  games_after=$(game_starts)
  expected="\"--lg\" \"$token\" \"--seconds\" \"$game_seconds\""
  if [ "$games_after" -ne $((games_before + 1)) ]; then
    fail "the game was not started"
    if [ -f "$install/bin/Kolvex.exe" ] && [ ! -x "$install/bin/Kolvex.exe" ]; then
      note "(bin/Kolvex.exe is installed without its executable permission)"
    fi
  elif [ "$(tail -n1 "$record")" != "$expected" ]; then
    fail "the game got $(tail -n1 "$record"), expected $expected"
  else
    note "the game was started with: $(tail -n1 "$record")"
  fi
}

# Checks that the last launcher run accepted release $1 by its signature.
check_signed() {
  if grep -q "Release $1 signed at [0-9]* is signed by the release key $release_key" \
    "$install/bin/LogLauncher.txt"; then
    note "the launcher verified release $1's signature with the release key"
  else
    fail "the launcher did not log a verified signature for release $1"
  fi
  grep -q "^version=$1\$" "$install/Release.state" ||
    fail "Release.state does not record release $1"
}

game_starts() { if [ -f "$record" ]; then wc -l <"$record"; else echo 0; fi; }

# Every installed file with its size and modification time, except what each run rewrites.
snapshot() {
  (cd "$install" && find . -type f ! -path ./bin/LogLauncher.txt ! -path ./bin/LogLauncher.old.txt \
    ! -path ./Update.db \
    -printf '%s %T@ %P\n' | LC_ALL=C sort -k3)
}

# The files of release $1 that release $2 replaced (existing in both, with other bytes).
replaced_files() {
  (cd "$releases/$2" && find . -type f -printf '%P\n' | LC_ALL=C sort) | while IFS= read -r file; do
    if [ -f "$releases/$1/$file" ] && ! cmp -s "$releases/$1/$file" "$releases/$2/$file"; then
      echo "$file"
    fi
  done
}

# Generates demo release number $1 as a build and publishes it signed as version $2.
publish_signed() {
  "$build/bin/demo-release" --out "$builds" --release "$1" --game "$game" |
    sed 's/^/   /'
  # aus-publish writes the release's manifest itself.
  rm "$builds/$2/manifest"
  "$build/bin/aus-publish" --releases "$releases" --version "$2" --from "$builds/$2" \
    --optional video/intro.bik --sign "$keys/release.key" | sed 's/^/   /'
}

step "1. Making a release signing key and publishing demo release 1.0.0, signed, into $releases"
mkdir -p "$releases"
release_key=$("$build/bin/aus-publish" keygen --out "$keys" 2>/dev/null)
note "public key (the launcher's AUS.release_key): $release_key"
publish_signed 1 1.0.0
listing "$releases/1.0.0"

step "2. Starting aus-server on 127.0.0.1"
start_server
note "aus-server listens on port $port"

step "3. Preparing an empty installation in $install"
if [ -n "$windows" ]; then
  note "launcher.exe and Kolvex.exe are the Windows programs from $windows/bin, run under wine"
fi
mkdir -p "$install/bin"
cp "${windows:-$build}/bin/launcher.exe" "$install/bin/"
cat >"$install/bin/Settings.ini" <<INI
[Client]
log_level=2
[AUS]
host=127.0.0.1
port=$port
requests_in_flight=8
release_key=$release_key
INI
note "bin/Settings.ini:"
sed 's/^/     /' "$install/bin/Settings.ini"
listing "$install"

step "4. First start: the launcher verifies 1.0.0's signature, installs it and starts the game"
before=$(game_starts)
run_launcher
listing "$install"
check_run 1.0.0 "$before"
check_signed 1.0.0

step "5. Second start: nothing to download, the game starts at once"
before=$(game_starts)
files_before=$(snapshot)
run_launcher
if [ "$(snapshot)" = "$files_before" ]; then
  note "no installed file was touched"
else
  fail "the second start changed the installation:"
  diff <(echo "$files_before") <(snapshot) | sed 's/^/     /' || true
fi
check_run 1.0.0 "$before"

step "6. Publishing release 1.1.0, signed, and restarting aus-server on port $port"
stop_server
publish_signed 2 1.1.0
note "changed or new in 1.1.0:"
(cd "$releases/1.1.0" && find . -type f -printf '%P\n' | LC_ALL=C sort) | while IFS= read -r file; do
  cmp -s "$releases/1.0.0/$file" "$releases/1.1.0/$file" 2>/dev/null || note "  $file"
done
start_server

step "7. Third start: the launcher verifies 1.1.0's signature, fetches only what changed, starts the game"
before=$(game_starts)
run_launcher
listing "$install"
check_run 1.1.0 "$before"
check_signed 1.1.0
# Only replaced files leave a backup "<name>.$$$", so the backups show what was fetched again.
backups=$(cd "$install" && find . -name '*.$$$' -printf '%P\n' | sed 's/[.][$][$][$]$//' |
  LC_ALL=C sort)
if [ "$backups" = "$(replaced_files 1.0.0 1.1.0)" ]; then
  note "only the changed files were replaced; their old copies stay until the next start:"
  printf '%s\n' "$backups" | sed 's/^/     /'
else
  fail "replaced files (with a .\$\$\$ backup) differ from the changed ones:"
  diff <(echo "$backups") <(replaced_files 1.0.0 1.1.0) | sed 's/^/     /' || true
fi

step "8. Fourth start: the old copies are cleared, nothing else changes"
before=$(game_starts)
run_launcher
leftovers=$(cd "$install" && find . -name '*.$$$' -printf '%P\n')
if [ -z "$leftovers" ]; then
  note "no .\$\$\$ backups left"
else
  fail "backups left: $leftovers"
fi
check_run 1.1.0 "$before"

step "Done"
note "the game was started $(game_starts) times; its arguments each time:"
sed 's/^/     /' "$record" 2>/dev/null || true
if [ "$failures" -gt 0 ]; then
  note "$failures check(s) failed"
  exit 1
fi
note "every step did what it should"
