#!/usr/bin/env bash
# tools/freshroot.sh [DIR]   (by hand, as root; not part of CI)
#
# Proves the README's two set-up commands on a bare Debian 12: debootstraps a
# minimal bookworm into DIR/base (once, from the mirror apt uses here), copies
# it to DIR/root, puts the committed tree of this checkout (git archive HEAD)
# in /root/quorvel there, and runs both commands as root in the chroot with a
# clean environment (no pip configuration: packages come from plain PyPI;
# only the host's local certificate authorities are copied in).
# The transcript with the time of each command goes to DIR/transcript.log.
# Nothing outside DIR is changed; /proc and /dev are mounted into DIR/root
# for the run and unmounted afterwards.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
DIR=$(realpath -m "${1:-/tmp/quorvel-freshroot}")
case "$DIR/" in "$checkout"/*) echo "DIR must lie outside the checkout" >&2; exit 1 ;; esac
[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap and chroot need it)" >&2; exit 1; }
command -v debootstrap >/dev/null ||
    { echo "debootstrap is missing: apt-get update && apt-get install -y debootstrap" >&2; exit 1; }
mirror=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
mirror=${mirror:-http://deb.debian.org/debian}

base=$DIR/base
root=$DIR/root
mkdir -p "$DIR"
if [ ! -e "$base/.quorvel-complete" ]; then
    rm -rf --one-file-system "$base"
    debootstrap --variant=minbase bookworm "$base" "$mirror"
    touch "$base/.quorvel-complete"
fi

mounted() { findmnt -rn -o TARGET | grep -q "^$root/"; }
cleanup() {
    for m in "$root/proc" "$root/dev"; do
        if mountpoint -q "$m"; then umount "$m"; fi
    done
}
trap cleanup EXIT
cleanup
if mounted; then echo "something is still mounted under $root" >&2; exit 1; fi
rm -rf --one-file-system "$root"
cp -a "$base" "$root"
rm "$root/.quorvel-complete"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Local certificate authorities of this host (a TLS-inspecting egress, say)
# go where Debian's ca-certificates adds them to the system bundle, which
# Debian's pip reads; no pip configuration is copied.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    mkdir -p "$root/usr/local/share/ca-certificates"
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
fi
mkdir "$root/root/quorvel"
git -C "$checkout" archive HEAD | tar -x -C "$root/root/quorvel"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"

run() {   # run COMMAND: one README command in the chroot, timed
    echo "### $1"
    local start=$SECONDS status=0
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/quorvel && $1" </dev/null || status=$?
    echo "### exit status $status after $((SECONDS - start)) s: $1"
    return $status
}
{
    echo "### $(date -u) commit $(git -C "$checkout" rev-parse --short HEAD), bare Debian 12 from $mirror"
    run "bash tools/setup.sh"
    run "bash tests/run.sh"
} 2>&1 | tee "$DIR/transcript.log"
