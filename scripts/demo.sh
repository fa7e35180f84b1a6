#!/usr/bin/env bash
# The main job. Until the demo release and server land, it builds the launcher, runs it in a
# sample installation under a temporary folder, and shows what it logged.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target launcher

install_root=$(mktemp -d)
trap 'rm -rf "$install_root"' EXIT
mkdir -p "$install_root/bin"
cp build/bin/launcher.exe "$install_root/bin/"
cat > "$install_root/bin/Settings.ini" <<'INI'
[Client]
log_level=0
log_stream_mask=3
enable_multiple_instances=true
[AUS]
host=127.0.0.1
port=3003
INI

echo "== running the launcher in $install_root/bin"
status=0
(cd "$install_root/bin" && ./launcher.exe --demo) || status=$?
echo "== launcher exit code: $status"
echo "== LogLauncher.txt:"
cat "$install_root/bin/LogLauncher.txt"
