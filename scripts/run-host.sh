#!/usr/bin/env bash
# Installs what is missing, builds the host and runs it. On a machine without a display it
# starts an embedded Xvfb desktop first and runs the host headless on it.
# Extra arguments go to ombrel-host.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$root/scripts/install-deps.sh"
configure gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build/gcc" -j"$jobs" --target ombrel-host ombrel-client >/dev/null 2>&1 ||
  cmake --build "$root/build/gcc" -j"$jobs" --target ombrel-host

args=()
if [ -z "${DISPLAY:-}" ]; then
  XVFB_SCREEN=${XVFB_SCREEN:-1920x1080x24} start_xvfb 50
  trap stop_xvfb EXIT
  echo "Ombrel Remote: no display here, started a virtual desktop on $DISPLAY"
  args+=(--headless)
fi
"$root/build/gcc/Ombrel_Remote_Host/ombrel-host" "${args[@]}" "$@"
