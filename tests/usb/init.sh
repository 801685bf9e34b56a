#!/bin/busybox sh
# /init of the rig's virtual machine: mounts the kernel's file systems, loads
# the USB stack (host controller, cdc-acm, the gadget side), runs the
# scenario runner and powers off. Everything it has to say goes to the
# VM's serial console, which the host script reads.
/bin/busybox --install -s /bin
export PATH=/bin:/rig
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
chmod 1777 /tmp
for m in usb-common usbcore udc-core configfs libcomposite u_serial usb_f_acm dummy_hcd cdc-acm; do
  insmod "/lib/modules/rig/$m.ko" || echo "RIG: FAIL setup: insmod $m"
done
mode=$(sed -n 's/.*rig_mode=\([a-z]*\).*/\1/p' /proc/cmdline)
sh "/rig/${mode:-scenarios}.sh"
echo "RIG: DONE"
sync
poweroff -f
