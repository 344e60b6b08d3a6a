#!/bin/bash
# Boots an emulated 32-bit ARM board (Debian 12, systemd as PID 1, no network device) with the
# given armhf package installed into its image, as an image builder would, and lets
# tests/board_checks.sh check on the board what a boat owner sees: first boot, remove, purge,
# a fresh install, a kill, a reboot, reinstalls over a disabled and a masked unit.
# Usage, as root: tests/board_test.sh PACKAGE.deb WORKDIR
# The board's root file system is built once into WORKDIR, as a tarball, and reused while this
# script, which says what goes into it, is unchanged.
set -euo pipefail
deb=$(realpath "$1")
work=$2
here=$(dirname "$(realpath "$0")")
boot_limit=600

[ "$(id -u)" = 0 ] || { echo "board test: needs root (chroot, binfmt_misc, image ownership)"; exit 1; }
mkdir -p "$work"
work=$(realpath "$work")
stage() { printf 'board test: %-34s %4d s\n' "$1" $((SECONDS - started)); started=$SECONDS; }
started=$SECONDS

# ARM programs run on this machine through qemu-user-static, also inside a chroot.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || cat /usr/lib/binfmt.d/qemu-arm.conf >/proc/sys/fs/binfmt_misc/register
arch-test armhf >/dev/null

# The root file system: Debian 12 from the archive apt already uses, a kernel for the emulated
# board, and an initramfs with just the disk's drivers (Debian's default one takes minutes to
# build under emulation).
key=$(sha256sum "$0" | cut -d' ' -f1)
if [ "$(cat "$work/rootfs.key" 2>/dev/null)" != "$key" ]; then
    rm -f "$work/rootfs.tar" "$work/rootfs.key"
    sources=/etc/apt/sources.list.d/debian.sources
    [ -f "$sources" ] || sources=http://deb.debian.org/debian
    # Loads the disk's drivers early; hooks in initramfs-tools' hooks folder are run at its build.
    export initramfs_hook='#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
for m in virtio_mmio virtio_blk ext4; do force_load $m; done'
    mmdebstrap --quiet --arch=armhf --variant=apt \
        --include=systemd-sysv,udev,initramfs-tools,linux-image-armmp-lpae \
        --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
            echo MODULES=list >"$1/etc/initramfs-tools/conf.d/board"
            printf "%s\n" "$initramfs_hook" >"$1/etc/initramfs-tools/hooks/board"
            chmod +x "$1/etc/initramfs-tools/hooks/board"' \
        --customize-hook='echo board >"$1/etc/hostname"
            ln -sf /dev/null "$1/etc/systemd/system/apt-daily.timer"
            ln -sf /dev/null "$1/etc/systemd/system/apt-daily-upgrade.timer"' \
        bookworm "$work/rootfs.tar" "$sources" </dev/null
    echo "$key" >"$work/rootfs.key"
    stage "root file system built"
else
    stage "root file system reused"
fi

# The image: the package installed with dpkg -i in a chroot, where no systemd runs; the checks
# as a oneshot unit after multi-user.target.
rm -rf --one-file-system "$work/image" "$work/disk.img"
mkdir "$work/image"
tar -xf "$work/rootfs.tar" -C "$work/image"
cp "$work"/image/boot/vmlinuz-* "$work/vmlinuz"
cp "$work"/image/boot/initrd.img-* "$work/initrd.img"
cp "$deb" "$work/image/root/nmea-relay.deb"
chroot "$work/image" dpkg -i /root/nmea-relay.deb
install -m 755 "$here/board_checks.sh" "$work/image/usr/local/sbin/board-checks"
cat >"$work/image/etc/systemd/system/board-checks.service" <<'EOF'
[Unit]
Description=Checks of the nmea-relay package
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/board-checks
StandardOutput=journal+console

[Install]
WantedBy=multi-user.target
EOF
ln -s ../board-checks.service "$work/image/etc/systemd/system/multi-user.target.wants/board-checks.service"
mke2fs -q -t ext4 -d "$work/image" "$work/disk.img" 1G
rm -rf --one-file-system "$work/image"
stage "image with the package made"

# The board: it runs the checks, reboots once and powers off.
set +e
timeout "$boot_limit" qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1024 \
    -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
    -append "root=/dev/vda rw console=ttyAMA0" \
    -drive file="$work/disk.img",format=raw,if=none,id=disk -device virtio-blk-device,drive=disk \
    -nic none -display none -monitor none -serial file:"$work/console.log"
status=$?
set -e
stage "board booted twice, checked, off"

results=$(debugfs -R 'cat /var/lib/board-test/results' "$work/disk.img" 2>/dev/null)
echo "$results"
passed=$(grep -c '^ok: ' <<<"$results" || true)
failed=$(grep -c '^FAILED: ' <<<"$results" || true)
if [ "$status" != 0 ] || ! grep -q '^== done' <<<"$results"; then
    failed=$((failed + 1))
    echo "FAILED: the board did not finish its checks and power off within $boot_limit s (qemu: $status); its console:"
    tail -n 40 "$work/console.log"
fi
echo "board: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
