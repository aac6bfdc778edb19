#!/usr/bin/env bash
# The release: one tool archive per Linux host the IDE runs on, each with its
# .sha256, the example board package's index filled in from them, and the
# checks (shared libraries and glibc versions needed, a smoke test of every
# binary on its own processor under qemu-user, the index and platform lines).
#
#   scripts/release.sh [HOST ...]       all four hosts when none is named
#
# The binaries are built in a Debian bullseye root (glibc 2.31, g++ 10) made
# with debootstrap and kept between runs outside the clone, so that they run
# on every system with glibc 2.28 or newer. Needs root (debootstrap, chroot).
#
#   MURLEN_RELEASE_CACHE   where the bullseye root is kept (/var/cache/murlen-release)
#   MURLEN_RELEASE_MIRROR  the Debian mirror (http://deb.debian.org/debian)
#   MURLEN_RELEASE_OUT     where archives and the index go (out/release)
#   MURLEN_RELEASE_URL     the folder URL the index gives for the archives
#                          (https://example.org/murlen/tools)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)

all_hosts=(x86_64-linux-gnu i686-linux-gnu aarch64-linux-gnu arm-linux-gnueabihf)
# The executables a tool archive holds, each built from src/NAME-without-murlen-/main.cpp.
# One that has no sources yet is skipped and named as skipped.
tools=(murlen-monitor murlen-discovery)

cache=${MURLEN_RELEASE_CACHE:-/var/cache/murlen-release}
mirror=${MURLEN_RELEASE_MIRROR:-http://deb.debian.org/debian}
out=${MURLEN_RELEASE_OUT:-$source_dir/out/release}
base_url=${MURLEN_RELEASE_URL:-https://example.org/murlen/tools}
suite=bullseye
root=$cache/$suite-root

# What the root needs: the native and cross compilers of bullseye, and
# libudev-dev for every host's architecture (multiarch).
root_packages=(g++ cmake make pkg-config binutils nlohmann-json3-dev libudev-dev
               g++-i686-linux-gnu g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
               libudev-dev:i386 libudev-dev:arm64 libudev-dev:armhf)

# HOST -> Debian architecture, compiler triplet, qemu-user emulator.
host_arch() {
  case $1 in
    x86_64-linux-gnu) echo amd64 ;;
    i686-linux-gnu) echo i386 ;;
    aarch64-linux-gnu) echo arm64 ;;
    arm-linux-gnueabihf) echo armhf ;;
    *) return 1 ;;
  esac
}
host_qemu() {
  case $1 in
    x86_64-linux-gnu) echo qemu-x86_64-static ;;
    i686-linux-gnu) echo qemu-i386-static ;;
    aarch64-linux-gnu) echo qemu-aarch64-static ;;
    arm-linux-gnueabihf) echo qemu-arm-static ;;
  esac
}
host_processor() {
  case $1 in
    x86_64-linux-gnu) echo x86_64 ;;
    i686-linux-gnu) echo i686 ;;
    aarch64-linux-gnu) echo aarch64 ;;
    arm-linux-gnueabihf) echo armv7l ;;
  esac
}

hosts=("$@")
[ ${#hosts[@]} -gt 0 ] || hosts=("${all_hosts[@]}")
for h in "${hosts[@]}"; do
  host_arch "$h" >/dev/null || { echo "usage: $0 [HOST ...] with HOST one of: ${all_hosts[*]}" >&2; exit 2; }
done

if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/release.sh needs root (debootstrap and chroot); run it with sudo" >&2
  exit 1
fi

# The build runs in a root of its own through a private mount namespace,
# which a chroot or an unprivileged container does not allow: say so before
# anything is downloaded.
if ! why=$(unshare --mount --fork true 2>&1) || ! why=$(unshare --mount --fork sh -c \
    'mount -t tmpfs tmpfs /mnt 2>&1 && umount /mnt' 2>&1); then
  where="a chroot or an unprivileged container"
  if [ -r /proc/1/root ]; then
    where="an unprivileged container"
    [ "$(stat -c %d:%i /)" = "$(stat -Lc %d:%i /proc/1/root)" ] || where="a chroot"
  fi
  cat >&2 <<EOT
scripts/release.sh cannot run here, in $where: it builds in a Debian
root of its own through a private mount namespace, and that fails here:
  ${why:-unshare --mount failed}
Run it as root on the machine itself, in a virtual machine, or in a container
started with the privilege to mount (for instance docker run --privileged).
EOT
  exit 1
fi
scripts/install-deps.sh release

# Every file in the archives gets the time of the last commit, so that the
# same commit gives the same archives on every machine.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
  echo "scripts/release.sh dates the archives by the last commit, which needs git and a clone:" >&2
  echo "run it in a git clone, or set SOURCE_DATE_EPOCH to the seconds since 1970 to date them by." >&2
  exit 1
fi
export SOURCE_DATE_EPOCH

step() { echo "== release: $*"; }

# Runs a command in the root with /proc and the source tree mounted, in a
# mount namespace of its own, so nothing stays mounted when it ends.
in_root() {
  unshare --mount --fork sh -c '
    mount -t proc proc "$0/proc" && mount --bind "$1" "$0/src" && shift &&
      exec chroot "$0" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"' "$root" "$source_dir" "$@"
}

# --- The bullseye root -------------------------------------------------------
make_root() {
  mkdir -p "$cache"
  local partial=$cache/$suite-root.partial log=$cache/debootstrap.log
  if [ ! -e "$root/.murlen-debootstrap-done" ]; then
    step "debootstrap $suite into $root (a few minutes, once per machine)"
    rm -rf "$partial"
    if ! debootstrap --variant=minbase --arch=amd64 "$suite" "$partial" "$mirror" >"$log" 2>&1; then
      tail -n 20 "$log" >&2
      if grep -qiE 'release file|release signed|Failed getting|couldn.t download' "$log"; then
        echo "Debian $suite is no longer served by $mirror: debootstrap could not fetch it." >&2
        echo "Set MURLEN_RELEASE_MIRROR to a mirror that still carries $suite, or move the release" >&2
        echo "build to the oldest Debian that is still served (and say so in README.md)." >&2
      else
        echo "debootstrap of $suite failed; its log is $log" >&2
      fi
      exit 1
    fi
    rm -rf "$root"
    mv "$partial" "$root"
    touch "$root/.murlen-debootstrap-done"
  fi
  local want
  want=$(printf '%s\n' "${root_packages[@]}" | sort | sha256sum | cut -c1-16)
  if [ "$(cat "$root/.murlen-packages" 2>/dev/null)" != "$want" ]; then
    step "installing the compilers and libudev-dev of every host in the root"
    mkdir -p "$root/src"
    echo "deb $mirror $suite main" >"$root/etc/apt/sources.list"
    for a in i386 arm64 armhf; do in_root dpkg --add-architecture "$a"; done
    if ! in_root sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' \
        sh "${root_packages[@]}" >"$cache/apt.log" 2>&1; then
      tail -n 30 "$cache/apt.log" >&2
      echo "installing the build packages in the $suite root failed; the log is $cache/apt.log" >&2
      exit 1
    fi
    in_root apt-get clean
    echo "$want" >"$root/.murlen-packages"
  fi
}

mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
make_root

# --- Build and pack in the root ----------------------------------------------
version=$(sed -nE 's/^project\([a-z_]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
base="Debian 11 ($suite, glibc $(in_root sh -c 'ldd --version | sed -nE "1s/.* ([0-9.]+)\$/\\1/p"'), g++ $(in_root sh -c 'g++ -dumpfullversion'))"

built_tools=()
for tool in "${tools[@]}"; do
  main=src/${tool#murlen-}/main.cpp
  if [ -f "$main" ]; then
    built_tools+=("$tool")
  else
    echo "== release: SKIPPED $tool: $main is not there yet"
  fi
done

build_host() {  # build_host HOST: the release-archive target of build-portable/HOST
  local h=$1 multiarch dir cross=()
  multiarch=${h/#i686/i386}  # Debian's multiarch folder for the host
  # pkg-config looks in the host's multiarch folder and the arch-independent
  # ones (/usr/lib/pkgconfig holds nlohmann_json.pc, and only that, in the root).
  dir=build-portable/$h
  if [ "$h" != x86_64-linux-gnu ]; then
    cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$(host_processor "$h")")
  fi
  step "build $h in the $suite root"
  rm -rf "$dir"
  mkdir -p "$dir"
  if ! in_root env PKG_CONFIG_LIBDIR="/usr/lib/$multiarch/pkgconfig:/usr/share/pkgconfig:/usr/lib/pkgconfig" \
      SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" sh -c '
        dir=$0 host=$1 base=$2 && shift 2 &&
        cmake -S /src -B "/src/$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
          -DMURLEN_PORTABLE=ON -DMURLEN_TOOLS_ONLY=ON -DCMAKE_CXX_COMPILER="$host-g++" \
          -DMURLEN_ARCHIVE_HOST="$host" -DMURLEN_RELEASE_BASE="$base" "$@" &&
        cmake --build "/src/$dir" -j 2 --target release-archive' \
      "$dir" "$h" "$base" "${cross[@]}" >"$dir.log" 2>&1; then
    tail -n 40 "$dir.log" >&2
    echo "the $h build failed; its log is $dir.log" >&2
    exit 1
  fi
}

# Fails when an executable needs a shared library beyond glibc and libudev, a
# GLIBC_ version above 2.28, or any libstdc++/libgcc version. libpthread,
# libm, libdl and librt are part of glibc (merged into libc.so.6 since 2.34,
# which keeps them as stubs), so they count as glibc.
max_glibc=2.28
check_elf() {  # check_elf HOST EXECUTABLE
  local h=$1 exe=$2 name needed versions highest bad=""
  name=$(basename "$exe")
  needed=$(readelf -dW "$exe" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p' | sort | tr '\n' ' ')
  for lib in $needed; do
    case $lib in
      libc.so.6 | libudev.so.1 | libpthread.so.0 | libm.so.6 | libdl.so.2 | librt.so.1) ;;
      ld-linux*.so.*) ;;
      *) bad="$bad $lib" ;;
    esac
  done
  versions=$(readelf -VW "$exe" | sed -nE 's/.*Name: ([A-Z_]+_[0-9.]+).*/\1/p' | sort -u)
  highest=$(echo "$versions" | sed -n 's/^GLIBC_//p' | sort -V | tail -n 1)
  echo "   $h $name: needs ${needed}; highest GLIBC_$highest"
  [ -z "$bad" ] || { echo "$h $name needs other shared libraries:$bad" >&2; return 1; }
  if echo "$versions" | grep -qE '^(GLIBCXX|CXXABI|GCC)_'; then
    echo "$h $name needs a shared libstdc++ or libgcc: $(echo "$versions" | tr '\n' ' ')" >&2
    return 1
  fi
  if [ "$(printf '%s\n%s\n' "$highest" "$max_glibc" | sort -V | tail -n 1)" != "$max_glibc" ]; then
    echo "$h $name needs GLIBC_$highest, newer than $max_glibc:" >&2
    readelf -sW --dyn-syms "$exe" | grep -E "GLIBC_(2\.(29|[3-9][0-9])|[3-9])" >&2 || true
    return 1
  fi
  echo "$h $name GLIBC_$highest" >>"$out/glibc.txt"
}

rm -rf "$out"
mkdir -p "$out"
archives=()
declare -A run_prefix
for h in "${hosts[@]}"; do
  build_host "$h"
  archive=murlen-monitor-$version-$h.tar.gz
  cp "build-portable/$h/$archive" "build-portable/$h/$archive.sha256" "$out/"
  archives+=("$out/$archive")
  step "check the binaries of $archive"
  unpacked=$(mktemp -d)
  tar -C "$unpacked" -xzf "$out/$archive"
  for tool in "${built_tools[@]}"; do
    check_elf "$h" "$unpacked/murlen-monitor/$tool" || { rm -rf "$unpacked"; exit 1; }
  done
  # Every binary on its own processor, with bullseye's libc and libudev.so.1:
  # qemu-user runs the root's dynamic loader (named outright, as the x86_64
  # one is an absolute link that would lead to the machine's own), and -L
  # makes the loader find the root's libraries.
  interp=$(readelf -lW "$unpacked/murlen-monitor/murlen-monitor" |
    sed -nE 's/.*program interpreter: (.*)\]/\1/p')
  loader=$root$(chroot "$root" readlink -f "$interp")
  rm -rf "$unpacked"
  run_prefix[$h]="$(host_qemu "$h") -L $root $loader"
done

# --- The example board package ------------------------------------------------
step "the example board package's index"
/usr/bin/python3 packaging/board_package.py fill --url "$base_url" \
  --out "$out/package_murlen_index.json" "${archives[@]}"
cp packaging/board-package/platform.txt packaging/board-package/boards.txt "$out/"
check_options=(--hosts "$(IFS=,; echo "${hosts[*]}")")
for tool in "${tools[@]}"; do
  case " ${built_tools[*]} " in *" $tool "*) ;; *) check_options+=(--without "$tool") ;; esac
done
packaging/check-board-package.sh "$out/package_murlen_index.json" "${check_options[@]}" |
  tee "$out/index-check.txt"

# The archives as shipped, after fill has named the packager in their README.
for h in "${hosts[@]}"; do
  step "check murlen-monitor-$version-$h.tar.gz as shipped"
  RUN_PREFIX=${run_prefix[$h]} packaging/check-release-archive.sh \
    "$out/murlen-monitor-$version-$h.tar.gz" "${built_tools[@]}"
done

echo "== release: done in $out"
for a in "${archives[@]}"; do
  printf '   %-48s %8s bytes\n' "$(basename "$a")" "$(stat -c %s "$a")"
done
echo "   the lowest glibc each binary runs on (its highest GLIBC_ symbol version):"
sed 's/^/   /' "$out/glibc.txt"
grep -E '^(schema|WARNING)' "$out/index-check.txt" | sed 's/^/   /' || true
rm "$out/index-check.txt"
