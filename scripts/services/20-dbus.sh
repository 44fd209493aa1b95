# A private D-Bus session bus with the standard service activation, and an
# unlocked GNOME keyring on it as the Secret Service. The keyring keeps its
# files in the private XDG_DATA_HOME of 00-session.sh.
dbus_output=$(dbus-daemon --session --fork --print-address=1 --print-pid=1) || {
  echo "services: cannot start a D-Bus session bus" >&2
  return 1
}
DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$dbus_output")
dbus_pid=$(sed -n 2p <<<"$dbus_output")
export DBUS_SESSION_BUS_ADDRESS
# The tests that touch the secret store read this to know the bus they reach
# is this private one, never the user's own with its real keyring.
export DICTARO_TEST_SESSION_BUS="$DBUS_SESSION_BUS_ADDRESS"
service_stops+=("kill $dbus_pid")

keyring_log="$service_home/keyring.log"
echo -n pw | gnome-keyring-daemon --foreground --unlock --components=secrets >"$keyring_log" 2>&1 &
keyring_pid=$!
service_stops+=("kill $keyring_pid")

for _ in $(seq 100); do
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; then
    break
  fi
  if ! kill -0 "$keyring_pid" 2>/dev/null; then
    echo "services: gnome-keyring-daemon ended at start:" >&2
    cat "$keyring_log" >&2
    return 1
  fi
  sleep 0.1
done
if ! dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; then
  echo "services: the Secret Service did not appear on the session bus" >&2
  return 1
fi
