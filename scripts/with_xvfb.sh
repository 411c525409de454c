#!/usr/bin/env bash
# Runs a command with DISPLAY set to a private Xvfb server, started for it
# on a free display number (chosen by Xvfb itself) and stopped afterwards.
#
#   scripts/with_xvfb.sh build/bin/voxa_render --window --size 640x480 --out f.png
#
# The command's exit status is returned.
set -euo pipefail

if [ $# -eq 0 ] || [ "$1" = "--help" ]; then
  echo "Usage: $0 COMMAND [ARGS...]"
  echo "Runs COMMAND with DISPLAY set to a private Xvfb (1280x1024x24), stopped afterwards."
  exit 0
fi
command -v Xvfb >/dev/null || { echo "with_xvfb: Xvfb is not installed (package xvfb)" >&2; exit 1; }

fifo_dir=$(mktemp -d)
trap 'rm -rf "$fifo_dir"' EXIT
mkfifo "$fifo_dir/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$fifo_dir/display" 2>/dev/null &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; rm -rf "$fifo_dir"' EXIT
if ! read -r -t 20 number <"$fifo_dir/display"; then
  echo "with_xvfb: Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=":$number"
set +e
"$@"
status=$?
set -e
exit $status
