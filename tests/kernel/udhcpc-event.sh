#!/bin/sh
# The DHCP client's configuration script: sets the leased address on the
# interface, as the box's script does.
case "$1" in
  bound|renew) ifconfig "$interface" "$ip" netmask "${subnet:-255.255.255.0}" up ;;
  deconfig) ifconfig "$interface" 0.0.0.0 ;;
esac
exit 0
