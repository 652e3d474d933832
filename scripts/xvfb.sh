# Sourced: gives Wine a virtual display of the project's own and exports
# DISPLAY. A display started earlier is reused while it answers; otherwise
# a new Xvfb is started on the first free number from 87 and waited for
# until it answers. Returns 1, with Xvfb's own messages, if none comes up.
koushin_start_xvfb() {
  local log="${KOUSHIN_ROOT:-.}/build/xvfb.log" number
  mkdir -p "$(dirname "$log")"
  for number in $(seq 87 99); do
    local info
    if info=$(xdpyinfo -display ":$number" 2>/dev/null); then
      # Ours from an earlier run if it is the size we ask for.
      if [[ "$info" =~ dimensions:\ +1024x768\  ]]; then
        export DISPLAY=":$number"
        return 0
      fi
      continue
    fi
    # A lock whose server is gone would make Xvfb refuse the number.
    local lock="/tmp/.X$number-lock"
    if [ -f "$lock" ] && ! kill -0 "$(tr -dc 0-9 <"$lock")" 2>/dev/null; then
      rm -f "$lock" "/tmp/.X11-unix/X$number"
    fi
    [ -e "$lock" ] && continue
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
    local pid=$! tries
    for tries in $(seq 200); do   # up to 20 s: a cold machine loads fonts and keymaps first
      xdpyinfo -display ":$number" >/dev/null 2>&1 && { export DISPLAY=":$number"; return 0; }
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    echo "xvfb: display :$number did not come up; Xvfb said:" >&2
    sed 's/^/  /' "$log" >&2
  done
  echo "xvfb: no virtual display could be started" >&2
  return 1
}

koushin_start_xvfb
