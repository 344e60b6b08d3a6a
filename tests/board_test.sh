#!/bin/bash
# Boots emulated boards (systemd as PID 1, no network device), each of a Debian release, userland
# architecture and kernel, with that release's package for that architecture installed into its
# image, as an image builder would, and lets tests/board_checks.sh check on the board what a boat
# owner sees: first boot, remove, purge, an ARMv6 board refused, a fresh install, a kill, a reboot,
# the service shut to all but the boat's own network, reinstalls over a disabled and a masked unit.
# Usage, as root: tests/board_test.sh DEBDIR WORKDIR RELEASE:ARCH:KERNEL[:CHECK]...
#   DEBDIR holds RELEASE/nmea-relay_*_ARCH.deb; ARCH: amd64, armhf or arm64, the userland; KERNEL:
#   Debian's amd64 (qemu-system-x86_64, q35: a PC), armmp-lpae (armhf, qemu-system-arm) or arm64
#   (qemu-system-aarch64, cortex-a72; under an armhf userland, as on a Raspberry Pi 4 or 5 running
#   the 32-bit OS). CHECK names a further check the board runs: port-taken (another program holds
#   port 10110 while the package is installed and for two minutes after), or port-taken-20min (the
#   measurement of bench/port_taken.sh). While DEBDIR/building exists (make test-board builds the
#   packages meanwhile), a board waits for it to go before it takes its package.
# The root file system of a release and userland holds the kernels of all the boards given for it;
# it is built once into WORKDIR/RELEASE-ARCH/, as a tarball, and reused while what goes into it is
# unchanged. Every line printed names its board.
set -euo pipefail
debs=$(realpath -m "$1") works=$2
shift 2
top=$(dirname "$(dirname "$(realpath "$0")")")

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
    export BOARD_SET="$*"
    printf '%s\n' "$@" | xargs -P 2 -I{} "$0" "$debs" "$works" {} || true
    failed=$(for board in "$@"; do
        IFS=: read -r release arch kernel _ <<<"$board"
        [ -e "$works/$release-$arch-$kernel/passed" ] || printf ' %s' "$board"
    done)
    [ -z "$failed" ] || { echo "boards that failed:$failed"; exit 1; }
    echo "all $# boards passed"
    exit 0
fi

IFS=: read -r release arch kernel check <<<"$1"
work=$works/$release-$arch-$kernel
board="$release $arch, $kernel kernel"
say() { echo "board $board: $*"; }
. "$top/tools/chroot.sh"
mkdir -p "$work"
rm -f "$work/passed"
stage() { say "$(printf '%-34s %4d s' "$1" $((SECONDS - started)))"; started=$SECONDS; }
started=$SECONDS

# kernel_of KERNEL: what boots it: its architecture, the emulator, the console, the disk's device
# and the drivers that the initramfs needs for that disk.
kernel_of() {
    case $1 in
        armmp-lpae) kernel_arch=armhf qemu=(qemu-system-arm -M virt -cpu cortex-a15) ;;
        arm64) kernel_arch=arm64 qemu=(qemu-system-aarch64 -M virt -cpu cortex-a72) ;;
        # A named CPU, not -cpu max: with max's 5-level paging and the rest, Debian 13's kernel once
        # panicked in the allocator under TCG with impossible flags.
        amd64) kernel_arch=amd64 qemu=(qemu-system-x86_64 -M q35 -cpu Nehalem -accel tcg) ;;
        *) say "no such kernel: $1"; exit 1 ;;
    esac
    if [ "$kernel_arch" = amd64 ]; then
        console=ttyS0 disk_device=virtio-blk-pci drivers="virtio_pci virtio_blk ext4"
    else
        console=ttyAMA0 disk_device=virtio-blk-device drivers="virtio_mmio virtio_blk ext4"
    fi
}
# The kernels of every board of this release and userland: all of make test-board's, or this one.
kernels=$(for other in ${BOARD_SET:-$1}; do
    IFS=: read -r other_release other_arch other_kernel _ <<<"$other"
    [ "$other_release:$other_arch" != "$release:$arch" ] || echo "$other_kernel"
done | sort -u)
packages=systemd-sysv,udev,iproute2,initramfs-tools architectures=$arch all_drivers=
for each in $kernels; do
    kernel_of "$each"
    package=linux-image-$each
    [ "$kernel_arch" = "$arch" ] || package+=:$kernel_arch
    packages+=,$package architectures+=,$kernel_arch all_drivers+=" $drivers"
done
# The userland's architecture first: mmdebstrap takes the first for the chroot's own.
architectures=$(tr , '\n' <<<"$architectures" | awk '!seen[$0]++' | paste -sd,)
kernel_of "$kernel"
# How long the board may take: the port-taken check holds the port for 2 minutes, its measurement
# for 20.
case $check in
    '') boot_limit=900 ;;
    port-taken) boot_limit=1200 ;;
    port-taken-20min) boot_limit=3000 ;;
    *) say "no such check: $check"; exit 1 ;;
esac

arch-test "$arch" >/dev/null

# The root file system: the release from the archive apt already uses, the kernels, iproute2 for
# the boat's and the marina's network namespaces, and an initramfs with just the disk's drivers
# (Debian's default one takes minutes to build under emulation). A kernel of another architecture
# than the userland comes from dpkg's multiarch, as the 32-bit Raspberry Pi OS has its 64-bit one.
# The kernel's and the triggers' initramfs builds are put off to one build at the end, for each
# kernel: each takes a minute under emulation. The kernels' modules for sound, graphics, cameras,
# wireless, Bluetooth and network cards, which no board here has, are left out: under emulation
# dpkg unpacks and depmod reads every module (Debian 13's arm64 kernel has 4,352, compressed).
# Boards of one release and userland share the root file system: the first to come builds it,
# the others wait.
rootfs=$works/$release-$arch/rootfs.tar
mkdir -p "${rootfs%/*}"
chroot_sources "$release" >"$work/sources"
# Loads the disk's drivers early; hooks in initramfs-tools' hooks folder are run at its build.
export initramfs_hook=${rootfs%/*}/initramfs-hook
exec 9>"$rootfs.lock"
flock 9
{
    echo '#!/bin/sh'
    echo '[ "$1" = prereqs ] && exit 0'
    echo '. /usr/share/initramfs-tools/hook-functions'
    echo "for m in $(tr ' ' '\n' <<<"$all_drivers" | sort -u | paste -sd' '); do force_load \$m; done"
} >"$initramfs_hook"
made=$(chroot_tarball "$rootfs" "$initramfs_hook" "$release" "$work/sources" --variant=apt \
    --architectures="$architectures" --include="$packages" \
    $(for unused in sound drivers/gpu drivers/media drivers/net/wireless drivers/net/ethernet \
        drivers/infiniband drivers/staging drivers/iio drivers/bluetooth net/bluetooth net/mac80211 \
        net/wireless; do printf ' --dpkgopt=path-exclude=*/modules/*/kernel/%s/*' "$unused"; done) \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
        echo MODULES=list >"$1/etc/initramfs-tools/conf.d/board"
        install -m 755 "$initramfs_hook" "$1/etc/initramfs-tools/hooks/board"
        chroot "$1" dpkg-divert --quiet --local --rename --add /usr/sbin/update-initramfs
        ln -s /bin/true "$1/usr/sbin/update-initramfs"' \
    --customize-hook='rm "$1/usr/sbin/update-initramfs"
        chroot "$1" dpkg-divert --quiet --local --rename --remove /usr/sbin/update-initramfs
        chroot "$1" update-initramfs -c -k all >"$1/initramfs.log" 2>&1 || { cat "$1/initramfs.log"; exit 1; }
        rm "$1/initramfs.log"' \
    --customize-hook='echo board >"$1/etc/hostname"
        ln -sf /dev/null "$1/etc/systemd/system/apt-daily.timer"
        ln -sf /dev/null "$1/etc/systemd/system/apt-daily-upgrade.timer"')
flock -u 9
stage "root file system ${made%% *}"
for ((waited = 0; waited < 1800; waited += 5)); do
    [ -e "$debs/building" ] || break
    sleep 5
done
deb=$(echo "$debs/$release"/nmea-relay_*_"$arch".deb)
[ -f "$deb" ] || { say "no package $deb"; exit 1; }

# The image: the package installed with dpkg -i in a chroot, where no systemd runs; the checks
# as a oneshot unit after multi-user.target.
make_image() {
    rm -rf --one-file-system "$work/image" "$work/disk.img"
    mkdir "$work/image"
    tar -xf "$rootfs" -C "$work/image"
    cp "$work"/image/boot/vmlinuz-*-"$kernel" "$work/vmlinuz"
    cp "$work"/image/boot/initrd.img-*-"$kernel" "$work/initrd.img"
    cp "$deb" "$work/image/root/nmea-relay.deb"
    chroot "$work/image" dpkg -i /root/nmea-relay.deb >"$work/image.log" 2>&1 ||
        { sed "s/^/board $board: | /" "$work/image.log"; say "FAILED: dpkg -i into the image"; exit 1; }
    install -m 755 "$top/tests/board_checks.sh" "$work/image/usr/local/sbin/board-checks"
    mkdir -p "$work/image/var/lib/board-test"
    echo "$check" >"$work/image/var/lib/board-test/check"
    cat >"$work/image/etc/systemd/system/board-checks.service" <<'UNIT'
[Unit]
Description=Checks of the nmea-relay package
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/board-checks
StandardOutput=journal+console

[Install]
WantedBy=multi-user.target
UNIT
    ln -s ../board-checks.service "$work/image/etc/systemd/system/multi-user.target.wants/board-checks.service"
    mke2fs -q -t ext4 -d "$work/image" "$work/disk.img" 2G >/dev/null
    rm -rf --one-file-system "$work/image"
    stage "image with the package made"
}

# The board: it runs the checks, reboots once and powers off. A kernel that panics halts and
# would hold the emulator until the limit: the panic on the console ends it at once.
boot() {
    : >"$work/console.log"
    timeout "$boot_limit" "${qemu[@]}" -smp 2 -m 1024 \
        -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
        -append "root=/dev/vda rw console=$console" \
        -drive file="$work/disk.img",format=raw,if=none,id=disk -device "$disk_device",drive=disk \
        -nic none -display none -monitor none -serial file:"$work/console.log" &
    local emulator=$! status
    panicked=
    while kill -0 "$emulator" 2>/dev/null; do
        if grep -q 'Kernel panic - not syncing' "$work/console.log"; then
            panicked=yes
            sleep 2
            kill "$emulator"
            break
        fi
        sleep 5
    done
    wait "$emulator" && status=0 || status=$?
    if [ -n "$panicked" ]; then
        stage "the emulated kernel panicked"
        return 1
    fi
    stage "booted twice, checked, off"
    return "$status"
}

# A panic of the emulated kernel is the emulator's fault, not the package's: it is shown, and the
# board starts over from a fresh image, once.
for boots in 1 2; do
    make_image
    boot && status=0 || status=$?
    [ -n "$panicked" ] && [ "$boots" = 1 ] || break
    say "its console, then the board once more from a fresh image:"
    grep -B 30 -A 3 'Kernel panic - not syncing' "$work/console.log" | sed "s/^/board $board: | /"
done

results=$(debugfs -R 'cat /var/lib/board-test/results' "$work/disk.img" 2>/dev/null)
sed "s/^/board $board: /" <<<"$results"
passed=$(grep -c '^ok: ' <<<"$results" || true)
failed=$(grep -c '^FAILED: ' <<<"$results" || true)
if [ "$status" != 0 ] || ! grep -q '^== done' <<<"$results"; then
    failed=$((failed + 1))
    if [ -n "$panicked" ]; then
        say "FAILED: the emulated kernel panicked again; its console:"
    else
        say "FAILED: the board did not finish its checks and power off within $boot_limit s (qemu: $status); its console:"
    fi
    tail -n 40 "$work/console.log" | sed "s/^/board $board: | /"
fi
[ "$boots" = 1 ] && after= || after=", on the second boot after a kernel panic"
say "$passed passed, $failed failed$after"
# Not left to set -e, which lets a failure before the last && of a list go by.
[ "$failed" = 0 ] && [ "$passed" -gt 0 ] || exit 1
touch "$work/passed"
