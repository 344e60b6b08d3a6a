#!/bin/bash
# Boots emulated ARM boards (systemd as PID 1, no network device), each of a Debian release,
# userland architecture and kernel, with that release's package for that architecture installed
# into its image, as an image builder would, and lets tests/board_checks.sh check on the board
# what a boat owner sees: first boot, remove, purge, an ARMv6 board refused, a fresh install, a
# kill, a reboot, the service shut to all but the boat's own network, reinstalls over a disabled
# and a masked unit.
# Usage, as root: tests/board_test.sh DEBDIR WORKDIR RELEASE:ARCH:KERNEL...
#   DEBDIR holds RELEASE/nmea-relay_*_ARCH.deb; ARCH: armhf or arm64, the userland; KERNEL:
#   Debian's armmp-lpae (armhf, qemu-system-arm) or arm64 (qemu-system-aarch64, cortex-a72; under
#   an armhf userland, as on a Raspberry Pi 4 or 5 running the 32-bit OS). While DEBDIR/building
#   exists (make test-board builds the packages meanwhile), a board waits for it to go before it
#   takes its package.
# Each board's root file system is built once into WORKDIR/RELEASE-ARCH-KERNEL/, as a tarball, and
# reused while what goes into it is unchanged. Every line printed names its board.
set -euo pipefail
debs=$(realpath -m "$1") works=$2
shift 2
top=$(dirname "$(dirname "$(realpath "$0")")")
boot_limit=900

[ "$(id -u)" = 0 ] || { echo "board test: needs root (chroot, binfmt_misc, image ownership)"; exit 1; }
mkdir -p "$works"
works=$(realpath "$works")

# ARM programs run on this machine through qemu-user-static, also inside a chroot.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
for interpreter in arm aarch64; do
    [ -e /proc/sys/fs/binfmt_misc/qemu-$interpreter ] ||
        cat /usr/lib/binfmt.d/qemu-$interpreter.conf >/proc/sys/fs/binfmt_misc/register
done

# Several boards: two at a time, so that one builds its root file system (mostly waiting on the
# archive and the disk) while another boots.
if [ $# -gt 1 ]; then
    printf '%s\n' "$@" | xargs -P 2 -I{} "$0" "$debs" "$works" {} || true
    failed=$(for board in "$@"; do [ -e "$works/${board//:/-}/passed" ] || printf ' %s' "$board"; done)
    [ -z "$failed" ] || { echo "boards that failed:$failed"; exit 1; }
    echo "all $# boards passed"
    exit 0
fi

IFS=: read -r release arch kernel <<<"$1"
work=$works/$release-$arch-$kernel
board="$release $arch, $kernel kernel"
say() { echo "board $board: $*"; }
. "$top/tools/chroot.sh"
mkdir -p "$work"
rm -f "$work/passed"
stage() { say "$(printf '%-34s %4d s' "$1" $((SECONDS - started)))"; started=$SECONDS; }
started=$SECONDS

case $kernel in
    armmp-lpae) kernel_arch=armhf qemu=(qemu-system-arm -M virt -cpu cortex-a15) ;;
    arm64) kernel_arch=arm64 qemu=(qemu-system-aarch64 -M virt -cpu cortex-a72) ;;
    *) say "no such kernel: $kernel"; exit 1 ;;
esac
kernel_package=linux-image-$kernel
[ "$kernel_arch" = "$arch" ] || kernel_package+=:$kernel_arch

arch-test "$arch" >/dev/null

# The root file system: the release from the archive apt already uses, the kernel, iproute2 for
# the boat's and the marina's network namespaces, and an initramfs with just the disk's drivers
# (Debian's default one takes minutes to build under emulation). A kernel of another architecture
# than the userland comes from dpkg's multiarch, as the 32-bit Raspberry Pi OS has its 64-bit one.
chroot_sources "$release" >"$work/sources"
# Loads the disk's drivers early; hooks in initramfs-tools' hooks folder are run at its build.
export initramfs_hook=$work/initramfs-hook
cat >"$initramfs_hook" <<'EOF'
#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
for m in virtio_mmio virtio_blk ext4; do force_load $m; done
EOF
made=$(chroot_tarball "$work/rootfs.tar" "$initramfs_hook" "$release" "$work/sources" --variant=apt \
    --architectures="$(printf '%s\n' "$arch" "$kernel_arch" | uniq | paste -sd,)" \
    --include="systemd-sysv,udev,iproute2,initramfs-tools,$kernel_package" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
        echo MODULES=list >"$1/etc/initramfs-tools/conf.d/board"
        install -m 755 "$initramfs_hook" "$1/etc/initramfs-tools/hooks/board"' \
    --customize-hook='echo board >"$1/etc/hostname"
        ln -sf /dev/null "$1/etc/systemd/system/apt-daily.timer"
        ln -sf /dev/null "$1/etc/systemd/system/apt-daily-upgrade.timer"')
stage "root file system ${made%% *}"
for ((waited = 0; waited < 1800; waited += 5)); do
    [ -e "$debs/building" ] || break
    sleep 5
done
deb=$(echo "$debs/$release"/nmea-relay_*_"$arch".deb)
[ -f "$deb" ] || { say "no package $deb"; exit 1; }

# The image: the package installed with dpkg -i in a chroot, where no systemd runs; the checks
# as a oneshot unit after multi-user.target.
rm -rf --one-file-system "$work/image" "$work/disk.img"
mkdir "$work/image"
tar -xf "$work/rootfs.tar" -C "$work/image"
cp "$work"/image/boot/vmlinuz-* "$work/vmlinuz"
cp "$work"/image/boot/initrd.img-* "$work/initrd.img"
cp "$deb" "$work/image/root/nmea-relay.deb"
chroot "$work/image" dpkg -i /root/nmea-relay.deb >"$work/image.log" 2>&1 ||
    { sed "s/^/board $board: | /" "$work/image.log"; say "FAILED: dpkg -i into the image"; exit 1; }
install -m 755 "$top/tests/board_checks.sh" "$work/image/usr/local/sbin/board-checks"
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
mke2fs -q -t ext4 -d "$work/image" "$work/disk.img" 2G >/dev/null
rm -rf --one-file-system "$work/image"
stage "image with the package made"

# The board: it runs the checks, reboots once and powers off.
set +e
timeout "$boot_limit" "${qemu[@]}" -smp 2 -m 1024 \
    -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
    -append "root=/dev/vda rw console=ttyAMA0" \
    -drive file="$work/disk.img",format=raw,if=none,id=disk -device virtio-blk-device,drive=disk \
    -nic none -display none -monitor none -serial file:"$work/console.log"
status=$?
set -e
stage "booted twice, checked, off"

results=$(debugfs -R 'cat /var/lib/board-test/results' "$work/disk.img" 2>/dev/null)
sed "s/^/board $board: /" <<<"$results"
passed=$(grep -c '^ok: ' <<<"$results" || true)
failed=$(grep -c '^FAILED: ' <<<"$results" || true)
if [ "$status" != 0 ] || ! grep -q '^== done' <<<"$results"; then
    failed=$((failed + 1))
    say "FAILED: the board did not finish its checks and power off within $boot_limit s (qemu: $status); its console:"
    tail -n 40 "$work/console.log" | sed "s/^/board $board: | /"
fi
say "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
touch "$work/passed"
