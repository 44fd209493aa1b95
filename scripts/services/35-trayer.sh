# trayer on the X server of 30-x11.sh: the system tray the application's
# icon docks into (the XEmbed tray protocol).
tray_state=$(mktemp -d /tmp/dictaro-tray.XXXXXX)
trayer --edge top --align right --widthtype request --height 24 --SetDockType true --transparent false \
  >"$tray_state/trayer.log" 2>&1 &
tray_pid=$!
service_stops+=("kill $tray_pid; wait $tray_pid 2>/dev/null; rm -rf '$tray_state'")
for _ in $(seq 100); do
  xdotool search --class trayer >/dev/null 2>&1 && break
  kill -0 "$tray_pid" 2>/dev/null || break
  sleep 0.1
done
if ! xdotool search --class trayer >/dev/null 2>&1; then
  echo "35-trayer: trayer did not start:" >&2
  cat "$tray_state/trayer.log" >&2
  return 1
fi
