#!/bin/bash
# irprogrammer --demo keeps the simulator's memory and log in
# ~/.local/state/irprogrammer when XDG_STATE_HOME is a relative path, which is
# not to be used, and not below the folder the tool was started in.
#   demo_relative_state_home.sh IRPROGRAMMER
set -u
program=$1
. "$(dirname "$0")/window_env.sh"
export XDG_STATE_HOME=state
mkdir -p "$home/start"
cd "$home/start" || exit 1
timeout 3 "$program" --demo 2>"$home/err"
expected="irprogrammer: COM1 is the simulated programmer device (its log: $HOME/.local/state/irprogrammer/simulator.log)"
if ! grep -qxF "$expected" "$home/err" || [ -e "$home/start/state" ]; then
  cat "$home/err"
  ls -R "$home/start"
  exit 1
fi
