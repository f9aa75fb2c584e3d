#!/bin/bash
# irprogrammer started with its standard streams closed keeps their numbers on
# /dev/null: a port, pipe or event descriptor opened later must not take one,
# or every warning printed to the error stream would be written into it.
#   closed_streams_held.sh IRPROGRAMMER
set -u
program=$1
. "$(dirname "$0")/window_env.sh"
pid=
on_exit='[ -n "$pid" ] && kill "$pid" 2>/dev/null'
"$program" <&- >&- 2>&- &
pid=$!
# The window is up once its device monitor has opened its descriptors.
for _ in $(seq 100); do
  [ "$(ls /proc/$pid/fd 2>/dev/null | wc -l)" -gt 5 ] && break
  sleep 0.05
done
sleep 0.5
failed=0
for fd in 0 1 2; do
  target=$(readlink "/proc/$pid/fd/$fd")
  if [ "$target" != /dev/null ]; then
    echo "descriptor $fd: ${target:-closed}"
    failed=1
  fi
done
exit $failed
