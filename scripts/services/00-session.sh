# A private home and runtime folder for the whole run, so the services and the
# tests never touch the user's own configuration, keyring or sound settings.
service_home=$(mktemp -d /tmp/dictaro-session.XXXXXX)
mkdir -p "$service_home"/{home,run,config,state,data,cache}
chmod 700 "$service_home"/run
export HOME="$service_home/home"
export XDG_RUNTIME_DIR="$service_home/run"
export XDG_CONFIG_HOME="$service_home/config"
export XDG_STATE_HOME="$service_home/state"
export XDG_DATA_HOME="$service_home/data"
export XDG_CACHE_HOME="$service_home/cache"
service_stops+=("rm -rf '$service_home'")

# xdg-open hands a file or an address to whatever program the desktop opens
# it with; no test may start that. A test that opens something puts its own
# recording xdg-open ahead of this one on PATH; this one only complains.
mkdir -p "$service_home/bin"
cat >"$service_home/bin/xdg-open" <<'GUARD'
#!/bin/sh
echo "xdg-open $*: opened by a test that has no xdg-open of its own first on PATH" >&2
exit 1
GUARD
chmod 755 "$service_home/bin/xdg-open"
export PATH="$service_home/bin:$PATH"
