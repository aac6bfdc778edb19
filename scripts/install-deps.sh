#!/usr/bin/env bash
# Installs, with apt, what building ("run"), building and testing ("test") or
# making the release ("release", scripts/release.sh) needs on Debian 12. Does
# nothing when everything is there already.
set -euo pipefail

# socat plays the IDE's listener and the simulated board's line in a session by hand.
run_packages=(g++ make cmake pkg-config libudev-dev nlohmann-json3-dev umockdev libumockdev-dev
              libglib2.0-dev socat)
test_packages=("${run_packages[@]}" libgtest-dev clang libclang-rt-14-dev clang-format
               cppcheck socat iproute2 util-linux procps)
# The release: a bullseye root made with debootstrap, its binaries run under
# qemu-user, the package index validated with jsonschema.
release_packages=(debootstrap qemu-user-static binutils python3 python3-jsonschema util-linux git
                  coreutils tar gzip)

case "${1:-test}" in
  run) wanted=("${run_packages[@]}") ;;
  test) wanted=("${test_packages[@]}" "${release_packages[@]}") ;;
  release) wanted=("${release_packages[@]}") ;;
  *) echo "usage: $0 [run|test|release]" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
