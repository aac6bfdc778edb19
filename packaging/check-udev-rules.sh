#!/usr/bin/env bash
# Runs 60-murlen-monitor.rules through udevadm's rule engine against faked
# boards and other USB devices, and checks which device nodes the rules claim.
#
#   packaging/check-udev-rules.sh [RULES_FILE]
#
# Needs udevadm (package udev; UDEVADM may name another binary), umockdev-run
# and root, for a private mount namespace: udevadm reads rules only from its
# fixed directories, so the rules go into a tmpfs mounted over /run there,
# and the machine's own /run and rules are left alone. Exits 77 when a tool
# is missing, so that CTest reports a skip.
set -euo pipefail

rules=${1:-$(dirname "$0")/60-murlen-monitor.rules}
udevadm=${UDEVADM:-$(command -v udevadm || true)}
if [ -z "$udevadm" ] || ! command -v umockdev-run >/dev/null || ! command -v unshare >/dev/null; then
  echo "skipped: needs udevadm, umockdev-run and unshare"
  exit 77
fi
if ! unshare -m true 2>/dev/null; then
  echo "skipped: cannot make a mount namespace (needs root)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$rules" "$work/60-murlen-monitor.rules"

# Each case: USB port number, vendor, product, node kind, expected outcome.
cases=(
  "1 16c0 0483 ttyACM claimed"     # a serial board
  "2 16c0 0474 hidraw claimed"     # first board product
  "3 16c0 04d7 hidraw claimed"     # last board product
  "4 16c0 0478 hidraw claimed"     # a board in its loader
  "5 16c0 047f ttyACM claimed"     # edges of the product pattern
  "6 16c0 0480 ttyACM claimed"
  "7 16c0 04cf ttyACM claimed"
  "8 16c0 04d0 hidraw claimed"
  "9 1fc9 0135 hidraw claimed"     # the other loader
  "10 16c0 0473 ttyACM left"       # just below the range
  "11 16c0 04d8 ttyACM left"       # just above it
  "12 16c0 04d9 hidraw left"
  "13 1fc9 0136 hidraw left"       # the loader vendor with another product
  "14 1234 5678 ttyACM left"       # another maker's device
  "15 16c0 0483 ttyUSB left"       # not a CDC ACM port
)

# Writes one USB device with one interface and one node below it, in
# umockdev's device format; prints the node's syspath on stdout.
fixture_device() {  # fixture_device PORT VID PID KIND INDEX
  local usb=/devices/pci0000:00/0000:00:14.0/usb1/1-$1
  local iface=$usb/1-$1:1.0 node
  {
    printf 'P: %s\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n' "$usb"
    printf 'A: idVendor=%s\nA: idProduct=%s\nA: bcdDevice=0279\n\n' "$2" "$3"
    printf 'P: %s\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceNumber=00\n\n' "$iface"
  } >>"$work/devices.umockdev"
  case $4 in
    ttyACM | ttyUSB) node=$iface/tty/$4$5 ;;
    hidraw)
      local hid
      hid=$iface/0003:${2^^}:${3^^}.$(printf '%04X' "$5")
      printf 'P: %s\nE: SUBSYSTEM=hid\n\n' "$hid" >>"$work/devices.umockdev"
      node=$hid/hidraw/hidraw$5
      ;;
  esac
  printf 'P: %s\nN: %s\nE: DEVNAME=/dev/%s\nE: SUBSYSTEM=%s\n\n' "$node" "${node##*/}" \
    "${node##*/}" "$([ "$4" = hidraw ] && echo hidraw || echo tty)" >>"$work/devices.umockdev"
  echo "/sys$node"
}

: >"$work/devices.umockdev"
syspaths=()
for i in "${!cases[@]}"; do
  read -r port vid pid kind _ <<<"${cases[$i]}"
  syspaths+=("$(fixture_device "$port" "$vid" "$pid" "$kind" "$i")")
done

# In a private namespace: only this rules file in /run/udev/rules.d, then one
# udevadm test per node. The file's own messages (parse errors) are kept.
# shellcheck disable=SC2016 # the inner script expands its own arguments
unshare -m bash -c '
  set -e
  work=$1 udevadm=$2; shift 2
  mount -t tmpfs none /run
  mkdir -p /run/udev/rules.d
  cp "$work/60-murlen-monitor.rules" /run/udev/rules.d/
  for syspath in "$@"; do
    echo "== $syspath"
    umockdev-run -d "$work/devices.umockdev" -- "$udevadm" test --action=add "$syspath" 2>&1
  done' _ "$work" "$udevadm" "${syspaths[@]}" >"$work/out"

failed=0
if grep '60-murlen-monitor.rules:[0-9]' "$work/out" | sort -u | grep .; then
  echo "FAIL: udevadm complains about the rules file"
  failed=1
fi
for i in "${!cases[@]}"; do
  read -r port vid pid kind want <<<"${cases[$i]}"
  got=left
  if awk -v p="== ${syspaths[$i]}" '$0 == p { on = 1; next } /^== / { on = 0 } on' "$work/out" |
    grep -qx 'ID_MM_DEVICE_IGNORE=1'; then
    got=claimed
  fi
  if [ "$got" = "$want" ]; then
    echo "ok: $vid:$pid $kind $got"
  else
    echo "FAIL: $vid:$pid $kind is $got, expected $want"
    failed=1
  fi
done
exit $failed
