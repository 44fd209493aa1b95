# A virtual X server on a display nobody uses and openbox on it, for the
# desktop tests: the grabs, the focus tracking and the paste need a real
# server and a window manager that speaks EWMH.
x11_state=$(mktemp -d /tmp/dictaro-x11.XXXXXX)
# -displayfd picks a free display and writes its number once the server
# accepts connections.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$x11_state/display" >"$x11_state/xvfb.log" 2>&1 &
x11_xvfb_pid=$!
service_stops+=("kill $x11_xvfb_pid; wait $x11_xvfb_pid 2>/dev/null; rm -rf '$x11_state'")
for _ in $(seq 100); do
  [[ -s $x11_state/display ]] && break
  kill -0 "$x11_xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ ! -s $x11_state/display ]]; then
  echo "30-x11: Xvfb did not start:" >&2
  cat "$x11_state/xvfb.log" >&2
  return 1
fi
export DISPLAY=":$(tr -d '\n' <"$x11_state/display")"

openbox --sm-disable >"$x11_state/openbox.log" 2>&1 &
x11_openbox_pid=$!
service_stops+=("kill $x11_openbox_pid; wait $x11_openbox_pid 2>/dev/null")
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
if ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
  echo "30-x11: openbox did not take the screen:" >&2
  cat "$x11_state/openbox.log" >&2
  return 1
fi
