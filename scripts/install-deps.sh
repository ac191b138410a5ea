#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need;
# with "bench", also the peers the benchmark measures against; with "fuzz",
# clang and its fuzzer runtime; with "windows", the cross compiler, Wine and
# what the cross-built libraries are made from; with "deb", what makes and
# checks the Debian package and what its test installs it with.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libwxgtk3.2-dev libwxsqlite3-3.2-dev libsqlite3-dev libcli11-dev
  libgtest-dev
  xvfb xauth xdotool
  python3-serial
)
case "${1:-}" in
  bench) packages+=(ser2net socat) ;;
  fuzz) packages+=(clang libclang-rt-14-dev) ;;
  deb) packages+=(dpkg-dev lintian adduser systemd procps) ;;
  windows) packages+=(g++-mingw-w64-x86-64-posix wine64 tcl googletest dpkg-dev xz-utils) ;;
esac

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
apt=("${sudo[@]}" bash "$(dirname "$0")/apt-get.sh")
"${apt[@]}" update -qq
"${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
