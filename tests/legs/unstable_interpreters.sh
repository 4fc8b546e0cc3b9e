#!/usr/bin/env bash
# The module on CPython releases newer than this machine's Debian carries. A Debian unstable
# root, made once with debootstrap and reused while it is sound, offers python3.14, python3.15
# and the 3.14 debug interpreter; tests/unstable/in_root.sh builds and tests the module inside it.
#
# Making the root needs root privileges and the Debian mirror. Where either is missing the leg
# is skipped with the reason, except under CI=true, where it fails: CI must not pass without it.
set -euo pipefail

ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
WORK=${WORK:-$ROOT/build/test-run}
JOBS=${JOBS:-$(nproc)}
CHROOT=${MARLUNE_UNSTABLE_ROOT:-$WORK/unstable-root}
MIRROR=${MARLUNE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUITE=sid
# python3.15 is installed in a second step: it is not part of the suite's base resolution.
BASE_PACKAGES=python3.14-dev,python3.14-venv,python3.14-dbg,libpython3.14-dbg,g++,cmake,ninja-build,binutils,libgtest-dev
LATER_PACKAGES="python3.15-dev python3.15-venv"
# A root made from another recipe is made anew.
RECIPE="suite=$SUITE packages=$BASE_PACKAGES then=$LATER_PACKAGES"
STAMP=$CHROOT/.marlune-root-recipe
LOG=$CHROOT.log

step() { printf '\n==> %s\n' "$*"; }

unavailable() {
  if [ "${CI:-}" = true ]; then
    echo "error: cannot make the Debian unstable root for the CPython 3.14, 3.15 and 3.14 debug" \
      "tests: $*" >&2
    echo "error: CI runs these tests and fails without them" >&2
    exit 1
  fi
  echo "skipped the CPython 3.14, 3.15 and 3.14 debug tests: $*"
  exit 0
}

# Mount points at or below the root, deepest first.
mounts_under_root() {
  awk -v root="$CHROOT" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts |
    sort -r
}

unmount_root() {
  local point
  for point in $(mounts_under_root); do
    umount "$point" 2>/dev/null || umount -l "$point" || true
  done
}

# Every exit path, including a failed test run and an interrupt, leaves no mount behind.
trap unmount_root EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The root's processes see only what is passed here, not the host's environment.
in_root() {
  local pass=() name
  for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    [ -z "${!name:-}" ] || pass+=("$name=${!name}")
  done
  chroot "$CHROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 \
    SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
    ${pass[@]+"${pass[@]}"} "$@"
}

# Name resolution and the certificate authorities of this machine, so that apt and pip inside
# reach their registries the way the host does; then /proc, which compilers and pip need, and
# the host's pseudo-terminals, which the command-line tests open (the root's /dev/ptmx is the
# host's device, so its terminals appear under the host's /dev/pts).
enter_root() {
  rm -f "$CHROOT/etc/resolv.conf"
  cp -L /etc/resolv.conf "$CHROOT/etc/resolv.conf"
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$CHROOT/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$CHROOT/etc/ssl/certs/ca-certificates.crt"
  fi
  if ! mountpoint -q "$CHROOT/proc"; then
    mount --bind /proc "$CHROOT/proc"
  fi
  if [ -d /dev/pts ] && ! mountpoint -q "$CHROOT/dev/pts"; then
    mkdir -p "$CHROOT/dev/pts"
    mount --bind /dev/pts "$CHROOT/dev/pts"
  fi
}

root_is_sound() {
  [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$RECIPE" ] || return 1
  enter_root
  in_root sh -c 'python3.14 -c "import venv, ensurepip" && python3.15 -c "import venv, ensurepip" &&
    python3.14-dbg -c "import sys; sys.gettotalrefcount()" && g++ --version && cmake --version &&
    ninja --version && nm --version' >/dev/null 2>&1
}

make_root() {
  unmount_root
  if [ -n "$(mounts_under_root)" ]; then
    echo "error: $CHROOT still has mounts; not deleting it" >&2
    exit 1
  fi
  rm -rf "$CHROOT"
  echo "debootstrap $SUITE into $CHROOT (log: $LOG)"
  if ! debootstrap --variant=minbase --include="$BASE_PACKAGES" "$SUITE" "$CHROOT" "$MIRROR" \
      >"$LOG" 2>&1; then
    tail -n 20 "$LOG"
    unmount_root
    unavailable "debootstrap of $SUITE from $MIRROR failed (log: $LOG)"
  fi
  enter_root
  # The mirror may serve a frozen copy of the suite whose Release file is past its Valid-Until
  # date by this machine's clock; debootstrap does not check that date but apt does, and would
  # refuse the very index debootstrap just used. The signatures are still checked.
  echo 'Acquire::Check-Valid-Until "false";' >"$CHROOT/etc/apt/apt.conf.d/99marlune-valid-until"
  # shellcheck disable=SC2086
  if ! in_root sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends \
      $LATER_PACKAGES && apt-get clean" >>"$LOG" 2>&1; then
    tail -n 20 "$LOG"
    unavailable "installing $LATER_PACKAGES in the root failed (log: $LOG)"
  fi
  echo "$RECIPE" >"$STAMP"
}

# The sources as the working tree has them, without build products or the root itself.
copy_sources() {
  rm -rf "$CHROOT/src"
  mkdir -p "$CHROOT/src"
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
      tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -C "$CHROOT/src" -xf -
  else
    tar -C "$ROOT" --exclude=./build --exclude='./build-*' --exclude='./.venv*' \
      --exclude=__pycache__ --exclude=.hypothesis -cf - . | tar -C "$CHROOT/src" -xf -
  fi
}

step "Debian unstable root for CPython 3.14, 3.15 and the 3.14 debug build"
[ "$(uname -s)" = Linux ] || unavailable "debootstrap and chroot need Linux"
[ "$(id -u)" -eq 0 ] || unavailable "making and entering the root needs root privileges"
if ! command -v debootstrap >/dev/null 2>&1; then
  if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap; } \
      >/dev/null 2>&1; then
    unavailable "debootstrap is not installed and apt-get could not install it"
  fi
fi
mkdir -p "$(dirname "$CHROOT")"
# One run at a time per root: another run would unmount /proc under this one.
exec 9>"$CHROOT.lock"
flock 9
started=$SECONDS
if root_is_sound; then
  echo "reusing $CHROOT"
else
  make_root
  root_is_sound || unavailable "the new root at $CHROOT lacks an interpreter or a build tool"
  echo "made $CHROOT in $((SECONDS - started)) s"
fi

copy_sources
in_root bash /src/tests/unstable/in_root.sh "$JOBS"
echo "unstable interpreters leg: $((SECONDS - started)) s"
