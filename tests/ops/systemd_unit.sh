#!/usr/bin/env bash
# The service template as the tools package installs it: staged with
# cmake --install (tools component) into an empty root beside the systemd
# targets, then `systemd-analyze verify` of an instance there must be clean,
# and must fail once the program it starts is taken away (so the check is real).
#
#   systemd_unit.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/kest-unit.XXXXXX")
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --component tools --prefix /usr >/dev/null
unit="$root/usr/lib/systemd/system/kest-md-recv@.service"
[ -f "$unit" ] || { echo "FAIL the tools component does not install kest-md-recv@.service"; exit 1; }
[ -x "$root/usr/bin/kest-md-recv" ] || { echo "FAIL the tools component does not install kest-md-recv"; exit 1; }
# What an instance needs around it on a host: the targets it orders against.
cp /lib/systemd/system/*.target "$root/usr/lib/systemd/system/"
mkdir -p "$root/etc/kest"
printf '[config]\ndevice=xilinx0:3\n' >"$root/etc/kest/demo.ini"
# The manual page comes with the tools package too; its presence on this
# host is not what is checked here.
out=$(systemd-analyze verify --man=no --root="$root" kest-md-recv@demo.service 2>&1) || {
  echo "FAIL systemd-analyze verify: $out"; exit 1; }
[ -z "$out" ] || { echo "FAIL systemd-analyze verify is not clean: $out"; exit 1; }
echo "ok   systemd-analyze verify kest-md-recv@demo.service is clean"
rm "$root/usr/bin/kest-md-recv"
if systemd-analyze verify --man=no --root="$root" kest-md-recv@demo.service >/dev/null 2>&1; then
  echo "FAIL verify passes without the program the unit starts"; exit 1
fi
echo "ok   and it fails without /usr/bin/kest-md-recv"
grep -q '^Restart=on-failure$' "$unit" && grep -q '^WorkingDirectory=/var/log/kest/%i$' "$unit" &&
  grep -q '^LogsDirectory=kest/%i$' "$unit" && ! grep -Eq '^(CPUAffinity|CPUSchedulingPolicy|PrivateDevices|DevicePolicy|DeviceAllow|ProtectClock)=' "$unit" || {
  echo "FAIL the unit restarts on failure, works in its log directory, leaves cores and devices alone"; exit 1; }
echo "ok   restart, working directory, no affinity or device restriction"
echo "3 passed, 0 failed"
