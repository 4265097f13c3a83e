# Sourced by scripts/wheel.sh and scripts/test-aarch64.sh: an arm64 Debian 12
# root (build/aarch64-root; AARCH64_ROOT picks another folder) with the aarch64
# CPython the wheel is built for and the test suite runs on, under qemu-user.
# It is made once with debootstrap and reused while it holds every package of
# AARCH64_ROOT_PACKAGES; a root that lacks some gets them with its own apt-get.
# Its programs run through the kernel's binfmt_misc handler for aarch64
# (qemu-aarch64-static), which is registered here when missing. debootstrap,
# chroot and the registration need root: the commands go through sudo when
# the script runs as another user. Needs scripts/venv.sh (step) sourced first.

AARCH64_ROOT=${AARCH64_ROOT:-$PWD/build/aarch64-root}
AARCH64_SUITE=bookworm
# Debian's CPython 3.11, its headers (the modules are built against them),
# venv for the environment the wheel is installed in, and what the tests
# import or run with (xdist spreads them over the CPUs). numpy is not among
# them: Debian 12's (1.24) is older than the 1.26 velmora needs, so pip brings
# numpy's own aarch64 wheel with velmora's.
AARCH64_ROOT_PACKAGES=(python3 python3-dev python3-venv python3-pytest python3-pytest-xdist python3-hypothesis
                       python3-tqdm)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# The Debian archive the host's apt reads (VELMORA_DEBIAN_MIRROR overrides):
# the one that serves bookworm, else any that is not the security archive.
debian_mirror() {
  if [ -n "${VELMORA_DEBIAN_MIRROR:-}" ]; then
    echo "$VELMORA_DEBIAN_MIRROR"
    return 0
  fi
  local targets mirror
  targets=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' 2>/dev/null || true)
  mirror=$(echo "$targets" | awk -v suite="$AARCH64_SUITE" '$2 == suite && $3 == "main" { print $1; exit }')
  [ -n "$mirror" ] || mirror=$(echo "$targets" | awk '$2 !~ /-security$/ && $3 == "main" { print $1; exit }')
  if [ -z "$mirror" ]; then
    echo "error: no Debian archive in apt's sources; set VELMORA_DEBIAN_MIRROR to one" >&2
    return 1
  fi
  echo "$mirror"
}

# aarch64 programs run through qemu-aarch64-static, registered with the F
# flag as Debian's qemu-user-static registers it: the kernel opens the
# emulator once, at registration, so that it also runs programs inside the
# root, where no x86-64 emulator binary exists.
ensure_aarch64_binfmt() {
  local dir=/proc/sys/fs/binfmt_misc entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
  [ -e "$dir/register" ] || as_root mount -t binfmt_misc binfmt_misc "$dir"
  if [ -e "$entry" ]; then
    if grep -qx enabled "$entry" && grep -q '^flags:.*F' "$entry"; then
      return 0
    fi
    # Somebody else's registration: not ours to replace.
    echo "error: $entry is registered without the F flag or disabled:" >&2
    sed 's/^/  /' "$entry" >&2
    echo "remove it (echo -1 > $entry) so that qemu-user-static's can be registered" >&2
    return 1
  fi
  step "registering qemu-aarch64-static with binfmt_misc"
  as_root sh -c "cat /usr/lib/binfmt.d/qemu-aarch64.conf > $dir/register"
}

# pip in the root trusts the certificates the host's pip trusts (those of a
# proxy that inspects TLS included): the file PIP_CERT names, else the host's
# CA bundle, copied into the root on each run.
ROOT_CA=/etc/ssl/certs/velmora-host-ca.crt
trust_host_certificates() {
  local bundle=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
  if [ -f "$bundle" ]; then
    as_root cp "$bundle" "$AARCH64_ROOT$ROOT_CA"
  fi
}

# in_aarch64_root COMMAND...: runs COMMAND inside the root with an
# environment of its own (only the proxy variables and pip's index are passed
# on) and with /proc, /dev and /sys mounted in a mount namespace of its own,
# so that nothing stays mounted once it ends, however it ends.
in_aarch64_root() {
  local pass=() name
  for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL; do
    if [ -n "${!name:-}" ]; then pass+=("$name=${!name}"); fi
  done
  if [ -f "$AARCH64_ROOT$ROOT_CA" ]; then pass+=("PIP_CERT=$ROOT_CA"); fi
  # (shellcheck: the single quotes are meant; the inner shell expands them.)
  as_root unshare --mount --propagation private --fork -- sh -c '
    root=$1; shift
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" && mount --rbind /sys "$root/sys" \
      && exec chroot "$root" "$@"' sh "$AARCH64_ROOT" \
    /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    "${pass[@]}" "$@"
}

# root_quietly LOG COMMAND...: runs COMMAND with its output in LOG, and shows
# LOG's last lines if it fails.
root_quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { echo "error: $*" >&2; tail -n 40 "$log" >&2; return 1; }
}

# Makes the root, or completes the one already made. The stamp, written last,
# lists the packages the root holds: a root without one was cut short and is
# made anew.
ensure_aarch64_root() {
  local stamp=$AARCH64_ROOT/.velmora-packages wanted missing mirror log
  wanted=$(printf '%s\n' "${AARCH64_ROOT_PACKAGES[@]}" | sort -u)
  log=$(dirname "$AARCH64_ROOT")/aarch64-root.log
  mkdir -p "$(dirname "$AARCH64_ROOT")"
  ensure_aarch64_binfmt
  if [ -f "$stamp" ]; then
    missing=$(comm -13 "$stamp" <(echo "$wanted") | tr '\n' ' ')
    if [ -z "${missing// /}" ]; then
      trust_host_certificates
      step "the arm64 root $AARCH64_ROOT is up to date"
      return 0
    fi
    step "adding ${missing% } to the arm64 root"
    root_quietly "$log" in_aarch64_root apt-get update
    # shellcheck disable=SC2086 # one word a package
    root_quietly "$log" in_aarch64_root env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends $missing
    echo "$wanted" | as_root tee "$stamp" >/dev/null
    trust_host_certificates
    return 0
  fi
  if [ -e "$AARCH64_ROOT" ]; then
    step "removing $AARCH64_ROOT, which was never finished"
    as_root rm -rf --one-file-system "$AARCH64_ROOT"
  fi
  mirror=$(debian_mirror)
  local include
  include=$(echo "$wanted" | paste -sd, -)
  step "debootstrap: fetching and unpacking arm64 Debian 12 with $include (log: $log)"
  root_quietly "$log" as_root debootstrap --arch=arm64 --variant=minbase --foreign --include="$include" \
    "$AARCH64_SUITE" "$AARCH64_ROOT" "$mirror"
  step "debootstrap: installing the packages under qemu-user (the second stage)"
  root_quietly "$log" in_aarch64_root /debootstrap/debootstrap --second-stage
  echo "$wanted" | as_root tee "$stamp" >/dev/null
  trust_host_certificates
  step "made the arm64 root $AARCH64_ROOT ($(in_aarch64_root python3 -c 'import platform; print(platform.machine(), "CPython", platform.python_version())'))"
}

# The root's CPython: "X.Y EXT_SUFFIX", such as "3.11 .cpython-311-aarch64-linux-gnu.so".
aarch64_root_python() {
  local answer
  answer=$(in_aarch64_root python3 -c 'import sys, sysconfig; print("%d.%d" % sys.version_info[:2], sysconfig.get_config_var("EXT_SUFFIX"))')
  case $answer in
    3.*" .cpython-"*) echo "$answer" ;;
    *) echo "error: the arm64 root's python3 did not say its version and suffix: $answer" >&2; return 1 ;;
  esac
}

# aarch64_python_include DIR: copies the root CPython's headers to DIR and
# prints the folder of Python.h. Debian's pyconfig.h only includes the one of
# the architecture, under the multiarch include folder, which the cross
# compiler does not search: that one takes its place.
aarch64_python_include() {
  local dir=$1 version
  version=$(aarch64_root_python | cut -d' ' -f1)
  rm -rf "$dir"
  mkdir -p "$dir"
  # (their times kept, so that a build compiled against them stays up to date)
  cp -a "$AARCH64_ROOT/usr/include/python$version" "$dir/"
  cp -a "$AARCH64_ROOT/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$dir/python$version/pyconfig.h"
  echo "$dir/python$version"
}
