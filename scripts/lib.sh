# Shared by the build and run scripts.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
export CCACHE_BASEDIR="$root"
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}

# configure NAME [cmake args...]: a Ninja build tree under build/NAME.
configure() {
  local name=$1
  shift
  cmake -S "$root" -B "$root/build/$name" -G Ninja -Wno-dev "$@" >/dev/null
}

# Starts an Xvfb on a free display number and exports DISPLAY; the caller stops it with
# stop_xvfb. A big screen leaves room for the virtual monitors the tests create.
start_xvfb() {
  local n=${1:-90}
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 "${XVFB_SCREEN:-5120x2880x24}" -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}

stop_xvfb() {
  if [ -n "${xvfb_pid:-}" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  fi
}
