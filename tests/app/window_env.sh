# Sourced by the window's script tests: a private home with empty XDG
# folders and the offscreen platform, removed on exit after the test's own
# clean-up ($on_exit).
home=$(mktemp -d)
on_exit=
trap 'eval "$on_exit"; rm -rf "$home"' EXIT
export HOME=$home/home XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state \
  XDG_RUNTIME_DIR=$home/runtime QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
