# A private PulseAudio daemon whose microphone "mic" is a pipe: whatever a test
# writes into $DICTARO_PULSE_MIC_FIFO (s16le, 48 kHz, stereo) is what the
# microphone hears. It runs as root too, under the run's private runtime folder.
export DICTARO_PULSE_MIC_FIFO="$XDG_RUNTIME_DIR/dictaro-mic.fifo"
pulseaudio -n --daemonize=yes --exit-idle-time=-1 --system=false \
  --load=module-native-protocol-unix \
  --load="module-null-sink sink_name=null" \
  --load="module-pipe-source source_name=mic file=$DICTARO_PULSE_MIC_FIFO format=s16le rate=48000 channels=2" \
  --log-target=file:"$XDG_RUNTIME_DIR/pulseaudio.log"
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
if ! pactl info >/dev/null 2>&1; then
  echo "the PulseAudio daemon did not start; its log:" >&2
  cat "$XDG_RUNTIME_DIR/pulseaudio.log" >&2 || true
  return 1
fi
pactl set-default-source mic
service_stops+=("pulseaudio --kill || true")
