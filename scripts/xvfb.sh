# Sourced: starts a virtual display for Wine (once) and exports DISPLAY.
export DISPLAY=:87
if ! [ -e /tmp/.X11-unix/X87 ]; then
  Xvfb :87 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  for _ in $(seq 50); do [ -e /tmp/.X11-unix/X87 ] && break; sleep 0.1; done
fi
