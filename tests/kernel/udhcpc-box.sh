#!/bin/sh
# Stand-in for the box's DHCP client: busybox's client does the protocol, and
# its messages are written in the box client's line forms on standard output
# ("Sending discover...", "Lease of A.B.C.D obtained, lease time N",
# "eth0 cable unplugged, powering down").
# What this client inherited from the program that started it, for the
# lane: the first run's open descriptors.
[ -e /var/client-fds ] || ls -l /proc/$$/fd > /var/client-fds 2>/dev/null
if [ "$(cat /sys/class/net/eth0/carrier 2>/dev/null)" != 1 ]; then
  echo "eth0 cable unplugged, powering down"
  exit 1
fi
/usr/libexec/udhcpc -i eth0 -f -q -t 4 -T 2 -s /lane/udhcpc-event.sh 2>&1 |
while IFS= read -r line; do
  case "$line" in
    *" discover"*) echo "Sending discover..." ;;
    *"select for "*) ip=${line##*select for }; ip=${ip%%,*}; echo "Sending select for $ip..." ;;
    *"lease of "*" obtained"*)
      ip=${line##*lease of }; ip=${ip%% obtained*}
      time=${line##*lease time }
      echo "Lease of $ip obtained, lease time $time" ;;
  esac
done
