#!/usr/bin/env bash
# Builds, once, what the Windows program is cross-built against: wxWidgets for
# MSW, an SQLite library and GoogleTest, all made with the mingw-w64 compiler
# from Debian's own sources of the versions the Linux build uses. They go to a
# cache outside the work tree, one folder per version, so a fresh clone on the
# same machine reuses them. Prints the cache folder, and nothing else, on
# standard output.
set -euo pipefail
# All else, install-deps.sh's output too, goes to standard error.
exec 3>&1 1>&2
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh windows

cache=${WINDOWS_DEPS_CACHE:-/var/cache/serial-tcp-bridge/mingw}
if ! mkdir -p "$cache" 2>/dev/null || [[ ! -w "$cache" ]]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/serial-tcp-bridge/mingw
  mkdir -p "$cache"
fi
# One build at a time; what an interrupted one left behind is thrown away.
exec 9>"$cache/.lock"
if ! flock -n 9; then
  echo "Waiting for another build of these libraries into $cache to end..." >&2
  flock 9
fi
rm -rf "$cache"/work.*
jobs=${JOBS:-2}
host=x86_64-w64-mingw32
export CC=$host-gcc-posix CXX=$host-g++-posix

# The same Debian versions as the libraries the Linux build links.
wx_debian=$(dpkg-query -W -f='${Version}' libwxgtk3.2-dev)
wx_version=${wx_debian%%+*}
sqlite_debian=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
sqlite_dir=$cache/sqlite-${sqlite_debian%%-*}
gtest_version=$(dpkg-query -W -f='${Version}' googletest | sed 's/-.*//')
gtest_dir=$cache/googletest-$gtest_version

# Fetches a Debian source package into the current folder, from the Debian
# archives the machine installs from, with apt lists of its own, so the
# machine's apt configuration is left as it was. The version the machine has
# is asked for; should the archive have moved on, its newest is taken. With
# lists of its own it takes none of the machine's apt locks, so it never
# waits for another apt run.
fetch_source() {
  local apt_dir=$PWD/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts"
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -e $file ]] && grep -q 'debian\.org' "$file" &&
      sed 's/^Types:.*/Types: deb-src/' "$file" >"$apt_dir/parts/$(basename "$file")"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed -n '/debian\.org/s/^deb \(.*\)/deb-src \1/p' >"$apt_dir/sources.list" || true
  local options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
                 -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir" -o "APT::Sandbox::User=root")
  apt-get "${options[@]}" update -qq
  apt-get "${options[@]}" source -qq "$1" || apt-get "${options[@]}" source -qq "${1%%=*}"
}

# Seconds between the lines that say how far a build step is, so that the
# first build's quiet minutes are not taken for a hang.
tick=60

# Every tick, says what is being built, for how long, and how many files are
# compiled in its work folder. It stops when its standard input ends: a pipe
# only build_into holds, closed at the step's end or with this shell however
# that ends, so that no ticker outlives its step.
progress() {
  local name=$1 work=$2 start=$SECONDS status count
  while true; do
    status=0
    read -rt "$tick" || status=$?
    ((status > 128)) || return 0 # not the tick but the end of input
    # Files come and go as find looks, and it then fails: the count stands.
    count=$(find "$work" \( -name '*.o' -o -name '*.obj' \) 2>/dev/null | wc -l) || true
    echo "  $name: $(((SECONDS - start) / 60)) min in, files compiled: $count" >&2
  done
}

# Builds in a scratch folder and installs into the target, which counts as
# whole only once its mark is written: an interrupted build is done again.
# (The target's path is written into what is installed, so it is built in place.)
build_into() {
  local target=$1 step=$2
  [[ -e "$target/.complete" ]] && return 0
  local work status ticker ticker_pid
  work=$(mktemp -d "$cache/work.XXXXXX")
  rm -rf "$target"
  echo "$3" >&2
  exec {ticker}> >(progress "$(basename "$target")" "$work")
  ticker_pid=$!
  # Run as a condition (if !, ||), the step would go on past a failed command
  # and could leave a broken target marked whole: set -e holds only this way.
  # Neither the ticker's pipe nor the Makefile's is the step's to keep open.
  set +e
  (set -e; cd "$work"; "$step" "$target") >"$work/build.log" 2>&1 {ticker}>&- 3>&-
  status=$?
  set -e
  exec {ticker}>&-
  wait "$ticker_pid" || true
  if ((status != 0)); then
    tail -n 40 "$work/build.log" >&2
    echo "Building $target failed; the whole log is in $work/build.log" >&2
    exit 1
  fi
  touch "$target/.complete"
  rm -rf "$work"
}

build_wx() {
  fetch_source "wxwidgets3.2=$wx_debian"
  mkdir build && cd build
  ../wxwidgets3.2-*/configure -q --host=$host --build=x86_64-linux-gnu --prefix="$1" \
    --with-msw --disable-shared --enable-unicode \
    --without-libpng --without-libjpeg --without-libtiff --without-zlib --without-expat \
    --without-liblzma --without-opengl --with-regex=builtin --disable-xrc \
    --disable-aui --disable-propgrid --disable-ribbon --disable-richtext --disable-stc \
    --disable-webview --disable-mediactrl --disable-webrequest --disable-svg
  make -s -j"$jobs"
  make -s install
}

build_sqlite() {
  fetch_source "sqlite3=$sqlite_debian"
  cd sqlite3-*/
  # The amalgamation is made by tools built for this machine.
  CC=gcc ./configure -q
  make -s sqlite3.c
  mkdir -p "$1/include" "$1/lib"
  $CC -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o
  $host-ar rcs "$1/lib/libsqlite3.a" sqlite3.o
  cp sqlite3.h sqlite3ext.h "$1/include/"
}

build_gtest() {
  cmake -S /usr/src/googletest -B build -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=$CC \
    -DCMAKE_CXX_COMPILER=$CXX -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$1" \
    -Dgtest_disable_pthreads=OFF
  cmake --build build -j"$jobs"
  cmake --install build
}

build_into "$cache/wx-$wx_version" build_wx "Cross-building wxWidgets $wx_version for Windows (once; about 10 minutes)"
build_into "$sqlite_dir" build_sqlite "Cross-building SQLite for Windows (once)"
build_into "$gtest_dir" build_gtest "Cross-building GoogleTest for Windows (once)"
echo "$cache" >&3
