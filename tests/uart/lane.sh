#!/bin/sh
# The kernel lane: a QEMU guest (software emulation) whose 16550 UARTs are
# driven by Linux's own 8250 driver runs the driver's proofs there. The
# console is a virtio console, so that every UART is free for the proofs:
#   ttyS0  a Unix socket to a controller on the host (uart_peer unix)
#   ttyS1  a host pseudo-terminal as the serial backend: CTS reads low
#   ttyS2  QEMU as a telnet server; the controller on the host sends a break
# The guest prints one line per proof; the lane fails when one fails, or
# when the guest does not report back within its bound.
# Usage: lane.sh KERNEL_DIR BUSYBOX PROOFS PEER WORK_DIR
set -eu
kernel_dir=$1
busybox=$2
proofs=$3
peer=$4
work=$5
bound=${QVO_UART_BOUND:-240}

vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* 2>/dev/null | head -n 1)
modules=$(ls -d "$kernel_dir"/lib/modules/* 2>/dev/null | head -n 1)
if [ -z "$vmlinuz" ] || [ -z "$modules" ]; then
  echo "lane.sh: no kernel under $kernel_dir: run tools/install-deps.sh uart"
  exit 1
fi

rm -rf "$work"
mkdir -p "$work/root/bin" "$work/root/modules" "$work/root/dev" "$work/root/proc" "$work/root/sys" "$work/root/tmp"
cp "$busybox" "$work/root/bin/busybox"
cp "$proofs" "$work/root/proofs"
# The virtio console is a module in Debian's kernel; these carry it, in the
# order they load.
virtio="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci"
for module in $virtio; do cp "$modules/kernel/drivers/virtio/$module.ko" "$work/root/modules/"; done
cp "$modules/kernel/drivers/char/virtio_console.ko" "$work/root/modules/"
cat >"$work/root/init" <<INIT
#!/bin/busybox sh
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
for module in $virtio virtio_console; do /bin/busybox insmod /modules/\$module.ko; done
for i in \$(/bin/busybox seq 50); do [ -e /dev/hvc0 ] && break; /bin/busybox sleep 0.1; done
exec >/dev/hvc0 2>&1
cd /tmp
TMPDIR=/tmp /proofs
echo "guest: done"
/bin/busybox poweroff -f
INIT
chmod +x "$work/root/init"
(cd "$work/root" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")

pids=""
trap 'for pid in $pids; do kill "$pid" 2>/dev/null || true; done' EXIT INT TERM

# Each host-side end says on a pipe when it is ready; the lane waits for
# that line, 10 s at most.
ready() { timeout 10 grep -q -m 1 "$1" "$work/ready" || { echo "lane.sh: $2 did not get ready"; exit 1; }; }
mkfifo "$work/ready"
# ttyS0: the controller listens; QEMU connects.
"$peer" unix "$work/com1.sock" >"$work/ready" 2>"$work/peer1.log" &
pids="$pids $!"
ready listening "the controller on ttyS0"
# ttyS1: a pseudo-terminal whose other side only listens; socat says when
# its link stands.
socat -d -d -lf /dev/stdout -u pty,raw,echo=0,link="$work/lowcts" open:/dev/null </dev/null >"$work/ready" 2>&1 &
pids="$pids $!"
ready "starting data transfer loop" "the pseudo-terminal of ttyS1"
# ttyS2: QEMU's telnet server, a port of its own for each run.
telnet_port=$((40000 + $$ % 20000))
"$peer" telnet "$telnet_port" 1 >"$work/peer3.log" 2>&1 &
pids="$pids $!"

status=0
timeout -k 5 "$bound" qemu-system-x86_64 -accel tcg -m 128M -nographic -no-reboot -nic none -monitor none \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" -append "console=hvc0 quiet panic=-1" \
  -device virtio-serial -chardev stdio,id=console -device virtconsole,chardev=console \
  -serial "unix:$work/com1.sock" \
  -chardev "serial,id=lowcts,path=$(readlink -f "$work/lowcts")" -serial chardev:lowcts \
  -serial "telnet:127.0.0.1:$telnet_port,server=on,wait=off" \
  </dev/null >"$work/console.log" 2>&1 || status=$?

grep '^proof' "$work/console.log" || true
if [ "$status" -ne 0 ]; then
  echo "lane.sh: the guest did not report back within $bound s (exit $status); its console:"
  tail -n 40 "$work/console.log"
  exit 1
fi
grep -q '^proofs: all ok' "$work/console.log" || {
  echo "lane.sh: a proof failed; the guest's console:"
  cat "$work/console.log"
  exit 1
}
