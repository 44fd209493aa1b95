# Sourced by scripts/test and scripts/with-services. Starts the services the
# tests talk to, one file of scripts/services/ each in name order, and stops
# them in reverse order. A service file starts its service and fails loudly
# when it cannot (a test that needs it must fail, not skip), exports what its
# clients read, and appends the command that stops it to service_stops.
service_stops=()

start_services() {
  local service
  for service in "$root"/scripts/services/*.sh; do
    [[ -e $service ]] || continue
    # shellcheck source=/dev/null
    source "$service"
  done
}

stop_services() {
  local i
  for ((i = ${#service_stops[@]} - 1; i >= 0; i--)); do
    eval "${service_stops[i]}" || true
  done
  service_stops=()
}
