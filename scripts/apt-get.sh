#!/usr/bin/env bash
# apt-get with the given arguments, run as root, for the scripts that install
# packages. Another apt or dpkg run (unattended upgrades, a second terminal)
# holds the lock at times, and apt-get alone then fails at once: this waits
# up to ten minutes for it, and says so.
set -euo pipefail
timeout=600
export DEBIAN_FRONTEND=noninteractive

# Whether another process has the lock file open: apt and dpkg open it only
# to take the lock, or to wait for it.
busy() {
  [[ -n $(find /proc/[0-9]*/fd -lname "$1" -print -quit 2>/dev/null) ]]
}

# apt's own timeout covers dpkg's lock, which install and remove take; update
# takes only the package lists' lock, which apt does not wait for.
lock=/var/lib/dpkg/lock-frontend
[[ " $* " == *" update "* ]] && lock=/var/lib/apt/lists/lock
if busy "$lock"; then
  echo "Waiting for another apt or dpkg run to release $lock (up to $((timeout / 60)) minutes)..." >&2
fi

options=(-o "DPkg::Lock::Timeout=$timeout")
if [[ $lock == /var/lib/dpkg/lock-frontend ]]; then
  exec apt-get "${options[@]}" "$@"
fi
# The lists' lock is waited for here. Another run may take it between the
# look and apt's try; apt then fails at once, and the wait goes on.
deadline=$((SECONDS + timeout))
while true; do
  while busy "$lock" && ((SECONDS < deadline)); do sleep 1; done
  status=0
  apt-get "${options[@]}" "$@" || status=$?
  if ((status == 0)) || ! busy "$lock" || ((SECONDS >= deadline)); then
    exit "$status"
  fi
done
