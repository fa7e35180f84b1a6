#!/usr/bin/env bash
# End to end under wine: the Windows launcher.exe (build-windows/) against the Linux aus-server
# (build/) on 127.0.0.1, in a fresh installation, with the Windows demo game Kolvex.exe as the
# release's game client, recording its arguments (KOLVEX_RECORD). Checks a first install byte for
# byte, a second run that downloads nothing, an update that leaves ".$$$" backups, the exit code 1
# while a "Game" window is open, the restart through ShellExecuteA after a settings update that
# changes the host, the client version pin on Vista but not on Windows 10 (the manifest), and
# an update of launcher.exe by itself while it runs.
#
# Run by scripts/test-windows.sh on an X display (Xvfb) with WINEPREFIX set. Each wine run has a
# deadline. Prints "N passed, N failed"; exits 1 when a check failed.
set -euo pipefail
cd "$(dirname "$0")/../.."

linux=$(realpath "${LINUX_BUILD:-build}")
windows=$(realpath "${WINDOWS_BUILD:-build-windows}")
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEDEBUG=${WINEDEBUG:--all}
token=D41C7A90E35B4F2688A1C0E97B52F3D6
for program in "$linux/bin/aus-server" "$linux/bin/demo-release" "$windows/bin/launcher.exe" \
  "$windows/bin/Kolvex.exe"; do
  [ -f "$program" ] || { echo "windows_e2e: $program is missing; build it first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/launcher-windows-e2e.XXXXXX")
releases=$work/releases
install=$work/Kolvex
record=$work/game-arguments.txt
server_pid=""
port=""
passed=0
failed=0

stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
cleanup() {
  stop_server
  "$wineserver" -k 2>/dev/null || true
  [ "${E2E_KEEP:-0}" = 1 ] && echo "windows_e2e: files kept in $work" || rm -rf "$work"
}
trap cleanup EXIT

check() {
  local what=$1
  shift
  if "$@"; then
    echo "[ PASSED ] $what"
    passed=$((passed + 1))
  else
    echo "[ FAILED ] $what"
    failed=$((failed + 1))
  fi
}

start_server() {
  local log=$work/aus-server.log
  : >"$log"
  "$linux/bin/aus-server" --releases "$releases" --listen 127.0.0.1 --port "${port:-0}" \
    >"$log" 2>&1 &
  server_pid=$!
  local deadline=$((SECONDS + 60)) line=""
  while [ $SECONDS -lt $deadline ] && [ -z "$line" ]; do
    kill -0 "$server_pid" 2>/dev/null || { cat "$log"; exit 1; }
    line=$(grep -m1 -o 'listening on 127.0.0.1 port [0-9]*' "$log" || true)
    [ -n "$line" ] || sleep 0.2
  done
  [ -n "$line" ] || { cat "$log"; echo "windows_e2e: aus-server did not start" >&2; exit 1; }
  port=${line##* }
}

# Runs launcher.exe under wine in the installation's bin/ folder with the given tail, and waits
# until every program it started (the game, a restarted launcher) has ended too. Sets `status`.
status=0
run_launcher() {
  status=0
  (cd "$install/bin" && KOLVEX_RECORD="Z:$record" exec timeout -s KILL 120 "$wine" launcher.exe \
    "$@") >"$work/launcher.out" 2>&1 || status=$?
  timeout -s KILL 120 "$wineserver" -w || true
}

game_starts() { if [ -f "$record" ]; then wc -l <"$record"; else echo 0; fi; }
# The files of a release the launcher installs: all but the one its manifest marks optional.
release_files() {
  local optional
  optional=$(sed -n 's/^optional=//p' "$releases/$1/manifest")
  (cd "$releases/$1" && find . -type f -printf '%P\n' | grep -vxF "$optional" | LC_ALL=C sort)
}
matches_release() {
  local version=$1 file optional
  while IFS= read -r file; do
    cmp -s "$releases/$version/$file" "$install/$file" || { echo "   differs: $file"; return 1; }
  done < <(release_files "$version")
  optional=$(sed -n 's/^optional=//p' "$releases/$version/manifest")
  [ ! -e "$install/$optional" ] || { echo "   optional $optional installed"; return 1; }
}
# Installed files with sizes and modification times, except what every run rewrites.
snapshot() {
  (cd "$install" && find . -type f ! -path ./bin/LogLauncher.txt ! -path ./bin/LogLauncher.old.txt \
    ! -path ./Update.db \
    -printf '%s %T@ %P\n' | LC_ALL=C sort -k3)
}
game_got() { [ "$(tail -n1 "$record" 2>/dev/null)" = "$1" ]; }
game_window_open() { xwininfo -root -tree 2>/dev/null | grep -q '"Game"'; }
logged() { grep -qF -- "$1" "$install/bin/LogLauncher.txt"; }

"$linux/bin/demo-release" --out "$releases" --release 1 --game "$windows/bin/Kolvex.exe" >/dev/null
start_server
mkdir -p "$install/bin"
cp "$windows/bin/launcher.exe" "$install/bin/"
printf '[Client]\nlog_level=1\n[AUS]\nhost=127.0.0.1\nport=%s\n' "$port" \
  >"$install/bin/Settings.ini"
tail_expected="\"--lg\" \"$token\" \"--seconds\" \"0\" \"two words\""

echo "== the program"
check "launcher.exe carries its version information" \
  eval 'strings -el "$windows/bin/launcher.exe" | grep -qx 4.35.1906051200'
check "and a manifest asking for the invoker's rights, naming no supported systems" \
  eval 'strings "$windows/bin/launcher.exe" | grep -q "level=\"asInvoker\"" &&
    ! strings "$windows/bin/launcher.exe" | grep -q supportedOS'

echo "== a fresh installation"
run_launcher --seconds 0 "two words"
check "the first run exits with 0" [ "$status" -eq 0 ]
check "release 1.0.0 is installed byte for byte" matches_release 1.0.0
check "Update.db is written in the root" [ -s "$install/Update.db" ]
check "LogLauncher.txt is written beside launcher.exe" logged "Getting latest updates from server"
check "Kolvex.exe is started once with --lg, the token and the tail" \
  eval '[ "$(game_starts)" -eq 1 ] && game_got "$tail_expected"'

echo "== a second run"
before=$(snapshot)
run_launcher --seconds 0 "two words"
check "the second run exits with 0" [ "$status" -eq 0 ]
check "the second run downloads and touches nothing" [ "$(snapshot)" = "$before" ]
check "the game is started again" eval '[ "$(game_starts)" -eq 2 ] && game_got "$tail_expected"'

echo "== an update"
stop_server
"$linux/bin/demo-release" --out "$releases" --release 2 --game "$windows/bin/Kolvex.exe" >/dev/null
start_server
run_launcher --seconds 0 "two words"
changed=$(release_files 1.1.0 | while IFS= read -r file; do
    [ -f "$releases/1.0.0/$file" ] && ! cmp -s "$releases/1.0.0/$file" "$releases/1.1.0/$file" &&
      echo "$file"
  done || true)
backups=$(cd "$install" && find . -name '*.$$$' -printf '%P\n' | sed 's/[.][$][$][$]$//' |
  LC_ALL=C sort)
check "the update exits with 0" [ "$status" -eq 0 ]
check "release 1.1.0 is installed byte for byte" matches_release 1.1.0
check "exactly the changed files were replaced, each leaving a .\$\$\$ backup" \
  eval '[ -n "$changed" ] && [ "$backups" = "$changed" ]'
old=$(head -n1 <<<"$changed")
check "a backup holds the replaced file" cmp -s "$releases/1.0.0/$old" "$install/$old.\$\$\$"

echo "== a game window is open"
(cd "$install/bin" && exec timeout -s KILL 60 "$wine" Kolvex.exe --seconds 30) >/dev/null 2>&1 &
game_pid=$!
deadline=$((SECONDS + 30))
while ! game_window_open && [ $SECONDS -lt $deadline ]; do sleep 0.5; done
check "the game's window titled Game is open" game_window_open
log_before=$(cat "$install/bin/LogLauncher.txt")
starts_before=$(game_starts)
run_launcher_while_game() {
  status=0
  (cd "$install/bin" && KOLVEX_RECORD="Z:$record" exec timeout -s KILL 60 "$wine" launcher.exe) \
    >/dev/null 2>&1 || status=$?
}
run_launcher_while_game
check "the launcher exits with 1" [ "$status" -eq 1 ]
check "and leaves its log as it was" [ "$(cat "$install/bin/LogLauncher.txt")" = "$log_before" ]
"$wineserver" -k 2>/dev/null || true
wait "$game_pid" 2>/dev/null || true
check "and starts no game" [ "$(game_starts)" -eq "$starts_before" ]

echo "== a settings update that changes the host"
printf '[AUS]\nhost=localhost\n' >"$install/bin/SettingsUpdate.ini"
starts_before=$(game_starts)
run_launcher --seconds 0 "two words"
check "the first launcher exits with 0" [ "$status" -eq 0 ]
check "Settings.ini now names the new host" grep -qx $'host=localhost\r\\?' \
  "$install/bin/Settings.ini"
# The restarted launcher has no tail of its own to hand on.
check "launcher.exe was started again through ShellExecuteA and started the game" \
  eval '[ "$(game_starts)" -eq $((starts_before + 1)) ] && game_got "\"--lg\" \"$token\""'
check "the restarted launcher logged its own run" logged "Getting latest updates from server"
rm "$install/bin/SettingsUpdate.ini"

echo "== the client version pin on old Windows"
# The manifest names no supported systems: Windows 10 then reports 6.2, which is not old.
configure_windows() { "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null; }
settings=$(cat "$install/bin/Settings.ini")
for setting in "vista=pinned" "win10=not pinned"; do
  configure_windows "${setting%%=*}"
  printf '%s\n' "$settings" >"$install/bin/Settings.ini"
  run_launcher
  if [ "${setting#*=}" = pinned ]; then
    check "configured as ${setting%%=*}, the client version is pinned" \
      grep -q '^client_version=4.34.1905201200' "$install/bin/Settings.ini"
  else
    check "configured as ${setting%%=*}, the client version is not pinned" \
      eval '! grep -q client_version "$install/bin/Settings.ini"'
  fi
done
configure_windows win7
printf '%s\n' "$settings" >"$install/bin/Settings.ini"

# A running program can be renamed but not replaced: the engine makes the backup by renaming the
# replaced file away.
echo "== launcher.exe updates itself"
stop_server
cp -r "$releases/1.1.0" "$releases/1.2.0"
sed -i 's/^minor=1$/minor=2/' "$releases/1.2.0/manifest"
# A launcher.exe with other bytes: the same program with a trailing block, which Windows ignores.
cp "$windows/bin/launcher.exe" "$releases/1.2.0/bin/launcher.exe"
printf 'release 1.2.0' >>"$releases/1.2.0/bin/launcher.exe"
start_server
run_launcher --seconds 0 "two words"
check "the self-update exits with 0" [ "$status" -eq 0 ]
check "the new launcher.exe is in place" cmp -s "$releases/1.2.0/bin/launcher.exe" \
  "$install/bin/launcher.exe"
check "the running one was renamed away to launcher.exe.\$\$\$" cmp -s \
  "$windows/bin/launcher.exe" "$install/bin/launcher.exe.\$\$\$"
run_launcher --seconds 0 "two words"
check "the next start runs the new launcher.exe" [ "$status" -eq 0 ]
check "and sweeps the backup away" [ ! -e "$install/bin/launcher.exe.\$\$\$" ]

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
