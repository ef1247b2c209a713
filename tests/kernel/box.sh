#!/bin/sh
# Gives the guest the box's names over the kernel's standard devices and
# stands in, with ordinary files and pipes, for what only the box's vendor
# drivers provide.
# Usage: box.sh MODEL LCD_XRES LCD_YRES LCD_BPP CLIENT [KEYS_NAME...]
#   the LCD numbers in hex, as the panel driver writes them; CLIENT: "box"
#   for the stand-in of the box's DHCP client, "busybox" for busybox's own;
#   KEYS_NAME: the names of the box's key devices, event0 first
model=$1 xres=$2 yres=$3 bpp=$4 client=$5
shift 5

# The readers of an earlier run end first.
for p in /var/mcu.pid /var/lcd.pid; do
  [ -f $p ] && kill "$(cat $p)" 2>/dev/null
done

# The DHCP client the system runs as "udhcpc", and its configuration script.
mkdir -p /usr/libexec /etc/udhcpc
ln -sf /bin/busybox /usr/libexec/udhcpc
ln -sf /lane/udhcpc-event.sh /etc/udhcpc/default.script
# busybox's shell runs its own client for "udhcpc" whatever PATH holds; the
# stand-in is run by a /bin/sh that knows it (box_sh).
if [ "$client" = busybox ]; then
  ln -sf busybox /bin/sh
else
  ln -sf /usr/bin/box_sh /bin/sh
fi

# /proc/stb is a link (made by stb_proc.ko) to this folder of files.
rm -rf /var/stb
mkdir -p /var/stb/info /var/stb/lcd /var/stb/fp /var/stb/frontend/0 /var/stb/frontend/1
echo "$model" > /var/stb/info/cvmodel
echo "$xres" > /var/stb/lcd/xres
echo "$yres" > /var/stb/lcd/yres
echo "$bpp" > /var/stb/lcd/bpp
echo 0 > /var/stb/fp/led0_pattern
echo 0 > /var/stb/fp/led1_pattern
echo 0 > /var/stb/fp/oled_brightness
echo 21 > /var/stb/fp/temp_sensor
: > /var/stb/dbg
echo 0 > /var/stb/frontend/0/mode
echo 0 > /var/stb/frontend/1/mode

# The box's flat DVB names over vidtv's adapter: the frontend, the live
# demultiplexer and, for file playback, demultiplexer 4 and its DVR input
# (vidtv has one demultiplexer, so both are the same device here).
ln -sf /dev/dvb/adapter0/frontend0 /dev/dvb0.frontend0
ln -sf /dev/dvb/adapter0/demux0 /dev/dvb0.demux0
ln -sf /dev/dvb/adapter0/demux0 /dev/dvb0.demux4
ln -sf /dev/dvb/adapter0/dvr0 /dev/dvb0.dvr4
# The NIM list and the audio test file, as the lane gives them.
rm -f /var/nim_sockets
[ -f /out/nim_sockets ] && cp /out/nim_sockets /var/nim_sockets
[ -f /out/audio.ts ] && cp /out/audio.ts /root/audio.ts

# The flash partition is mtdram's block device, with the content the lane
# gives it.
ln -sf /dev/mtdblock0 /dev/mtdblock3
[ -f /out/flash.bin ] && dd if=/out/flash.bin of=/dev/mtdblock0 2>/dev/null

# The box's key devices, made with uinput before the keyboard's driver is
# loaded, so that they are event0, event1, ... as on the box and qemu's
# keyboard (standing for the USB keyboard) comes after them. Once per boot.
if [ $# -gt 0 ] && [ ! -e /var/keys ]; then
  mkfifo /var/keys
  input_keys /var/keys "$@" > /var/keys.ready 2>/var/keys.err &
  i=0
  while ! grep -q ready /var/keys.ready 2>/dev/null && [ $i -lt 100 ]; do usleep 20000; i=$((i + 1)); done
  modprobe virtio_input
  i=0
  while [ ! -e /dev/input/event$# ] && [ $i -lt 100 ]; do usleep 20000; i=$((i + 1)); done
fi
for e in /dev/input/event*; do
  [ -e "$e" ] && ln -sf "$e" "/dev/${e##*/}"
done
# The front-panel LCD: a pipe whose reader keeps every frame, one file per
# write, numbered in order.
rm -rf /dev/lcd0 /var/lcd
mkdir -p /var/lcd
mkfifo /dev/lcd0
(
  n=0
  while :; do
    n=$((n + 1))
    cat /dev/lcd0 > /var/lcd/$n
  done
) </dev/null >/dev/null 2>&1 &
echo $! > /var/lcd.pid
# The text display: a pipe whose reader logs every word with the time.
rm -f /dev/mcu
mkfifo /dev/mcu
: > /var/mcu.log
(
  while :; do
    IFS= read -r word < /dev/mcu || continue
    echo "$(cut -d' ' -f1 /proc/uptime) $word" >> /var/mcu.log
  done
) </dev/null >/dev/null 2>&1 &
echo $! > /var/mcu.pid
