#!/bin/sh
# Fetches the emulated machine's kernel (Debian's current linux-image-*-amd64, with its modules)
# and busybox-static with `apt-get download` into CACHE, and unpacks what the machine needs in
# CACHE/root: the kernel, its USB drivers and busybox. Nothing is installed. Done once: CACHE/root
# stays until the build folder goes.
#   tests/qemu/fetch.sh CACHE
set -eu
cache=$1
rm -rf "$cache"
mkdir -p "$cache/debs"
apt-get update -qq
kernel=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*-amd64\)$/\1/p' | head -1)
[ -n "$kernel" ] || { echo "fetch.sh: no kernel package behind linux-image-amd64" >&2; exit 1; }
echo "fetching: $kernel busybox-static"
# The download is by root into a folder of ours, which apt's own unprivileged user cannot reach.
(cd "$cache/debs" && apt-get download -qq -o APT::Sandbox::User=root "$kernel" busybox-static)
mkdir "$cache/root.partial"
dpkg-deb --fsys-tarfile "$cache"/debs/linux-image-*.deb |
    tar -x -C "$cache/root.partial" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*'
dpkg-deb --fsys-tarfile "$cache"/debs/busybox-static_*.deb | tar -x -C "$cache/root.partial" ./bin/busybox
rm -rf "$cache/debs"
mv "$cache/root.partial" "$cache/root"
