#!/bin/sh
# Builds a tiny initramfs that mounts this machine's own root file system over
# 9p and hands over to guest-init.sh. Usage: mkinitrd.sh KERNEL_VERSION OUT
set -eu
kver=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/bin" "$work/lib" "$work/proc" "$work/sys" "$work/dev" "$work/newroot"
cp /bin/busybox "$work/bin/busybox"
for top in virtio_pci 9pnet_virtio 9p; do modprobe -S "$kver" --show-depends "$top"; done |
while read -r cmd f rest; do
    [ "$cmd" = insmod ] || continue
    m=$(basename "$f"); m=${m%%.ko*}
    grep -qx "$m" "$work/lib/order" 2>/dev/null && continue
    case "$f" in
        *.xz) xz -dc "$f" > "$work/lib/$m.ko" ;;
        *.zst) zstd -qdc "$f" > "$work/lib/$m.ko" ;;
        *) cp "$f" "$work/lib/$m.ko" ;;
    esac
    echo "$m" >> "$work/lib/order"
done

cat > "$work/init" <<INIT
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev
for m in \$(/bin/busybox cat /lib/order); do /bin/busybox insmod /lib/\$m.ko; done
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose hostroot /newroot || /bin/busybox poweroff -f
/bin/busybox umount /proc
/bin/busybox mount --move /dev /newroot/dev
exec /bin/busybox switch_root /newroot /bin/sh $here/guest-init.sh
INIT
chmod +x "$work/init"
(cd "$work" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"
