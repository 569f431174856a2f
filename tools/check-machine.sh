#!/bin/sh
# What the lanes need of this machine's kernel, checked before they run, so
# that a missing feature fails here, by name, and not as a test's riddle.
#   needed:      pseudo-terminals (/dev/ptmx): every lane's serial ports;
#   not needed:  binfmt_misc (the 32-bit lane starts its programs through
#                qemu-i386 itself), /dev/kvm (the kernel lane's guest runs
#                under TCG), serial hardware and its ioctls (low latency,
#                TIOCGICOUNT, RS-485 mode: a pseudo-terminal answers ENOTTY,
#                which the driver takes as "not there"; the kernel lane asks
#                the guest's own 8250 driver).
set -eu
failed=0
if ! { exec 3<>/dev/ptmx; } 2>/dev/null; then
  echo "check-machine: cannot open /dev/ptmx: every lane needs pseudo-terminals (mount devpts with ptmxmode=666)"
  failed=1
fi
exec 3>&-
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then binfmt="registered (not used)"; else binfmt="absent (not needed)"; fi
if [ -e /dev/kvm ]; then kvm="present (not used: the guest runs under TCG)"; else kvm="absent (not needed)"; fi
echo "check-machine: pseudo-terminals ok; binfmt_misc for i386 $binfmt; /dev/kvm $kvm"
exit $failed
