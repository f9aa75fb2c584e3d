#!/bin/bash
# irprogrammer --demo leaves a COM1 that the user registered alone, also while
# its device is unplugged: no simulator takes the link over (and removes it
# when it ends), whatever the letter case of the link's name.
#   demo_keeps_com1_link.sh IRPROGRAMMER
set -u
program=$1
. "$(dirname "$0")/window_env.sh"
mkdir -p "$XDG_CONFIG_HOME/vxcomm/ports"
ports=$XDG_CONFIG_HOME/vxcomm/ports
failed=0
for name in com1 COM1; do
  rm -f "$ports"/*
  ln -s /dev/serial/by-id/usb-unplugged-adapter "$ports/$name"
  timeout 2 "$program" --demo 2>"$home/err"
  said=$(grep '^irprogrammer: ' "$home/err")
  expected="irprogrammer: COM1 is /dev/serial/by-id/usb-unplugged-adapter, which is not connected ($ports/$name registers it)"
  links=$(cd "$ports" && for l in *; do [ -L "$l" ] && echo "$l -> $(readlink "$l")"; done)
  if [ "$said" != "$expected" ] || [ "$links" != "$name -> /dev/serial/by-id/usb-unplugged-adapter" ]; then
    echo "link $name: said \"$said\"; links now: ${links:-none}"
    failed=1
  fi
done
exit $failed
