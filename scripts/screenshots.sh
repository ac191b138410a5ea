#!/usr/bin/env bash
# Makes docs/main-window.png (two running bridges with live counters),
# docs/options-dialog.png and docs/traffic-view.png (the first bridge's
# traffic both ways), on a virtual display, from the built program.
# With "windows", docs/windows-*.png from the Windows program under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
windows=${1:-}

missing=()
for tool in Xvfb:xvfb import:imagemagick xdotool:xdotool python3:python3; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool##*:}")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" bash "$top/scripts/apt-get.sh" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [[ $windows == windows ]]; then make -C "$top" windows >/dev/null; else make -C "$top" build >/dev/null; fi

work=$(mktemp -d)
display=:$((90 + RANDOM % 9))
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -z ${WINEPREFIX:-} ]] || /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
cd "$work"
if [[ $windows == windows ]]; then
  # A Wine prefix of its own whose COM5 and COM6 are the demonstration's devices.
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  python3 "$top/scripts/demo-peers.py" 4242 4243 --com 5 > peers.log 2>&1 & pids+=($!)
  until grep -q ready peers.log 2>/dev/null; do sleep 0.1; done
  printf '\n[Software\\\\Wine\\\\Ports] 1700000000\n' >> "$WINEPREFIX/system.reg"
  awk '/^map/ { printf "\"%s\"=\"%s\"\n", $2, $3 }' peers.log >> "$WINEPREFIX/system.reg"
  /usr/lib/wine/wine64 "$top/build-windows/src/serial-tcp-bridge.exe" > program.log 2>&1 & pids+=($!)
  shots=$top/docs/windows-
else
  python3 "$top/scripts/demo-peers.py" 4242 4243 > peers.log 2>&1 & pids+=($!)
  until grep -q ready peers.log 2>/dev/null; do sleep 0.1; done
  "$top/build/src/serial-tcp-bridge" > program.log 2>&1 & pids+=($!)
  shots=$top/docs/
fi

window=""
until [[ -n $window ]]; do
  sleep 0.2
  window=$(xdotool search --name "wxWidgets Application Template" 2>/dev/null | head -1 || true)
done
sleep 3 # let the counters run
import -window "$window" "${shots}main-window.png"

xdotool windowfocus --sync "$window" key F5
dialog=""
until [[ -n $dialog ]]; do
  sleep 0.2
  dialog=$(xdotool search --name "Bridge options" 2>/dev/null | head -1 || true)
done
sleep 0.5
import -window "$dialog" "${shots}options-dialog.png"
xdotool windowfocus --sync "$dialog" key Escape

# The first row, selected from the keyboard, and its traffic.
sleep 0.5
xdotool windowfocus --sync "$window" key Home key F9
view=""
until [[ -n $view ]]; do
  sleep 0.2
  view=$(xdotool search --name "Traffic of bridge" 2>/dev/null | head -1 || true)
done
sleep 3 # let the traffic fill it
import -window "$view" "${shots}traffic-view.png"
echo "wrote ${shots}main-window.png, ${shots}options-dialog.png and ${shots}traffic-view.png"
