# Sourced by scripts/demo: the sensor switched off and on with the MDR
# command, and one agent policy whose acknowledgement reaches a loopback
# management server (pelmoserver.exe), which prints it.
driver_start_types() {
  local d hex
  for d in qvkxutil qvkxflt qvkxcore; do
    # The service manager may write a new service's key a moment after sc returns.
    for _ in $(seq 50); do
      hex=$(run reg query "HKLM\\System\\CurrentControlSet\\Services\\$d" /v Start 2>/dev/null | tr -d '\r' | awk '/Start/ {print $3}') && [ -n "$hex" ] && break
      sleep 0.1
    done
    printf '  %-9s start type %d\n' "$d" "$hex"
  done
}
service_state() { run sc query "$1" | tr -d '\r' | awk '/STATE/ {print $3, $4}'; }
wait_state() {  # service, state word; at most 20 s
  for _ in $(seq 100); do [ "$(service_state "$1" | cut -d' ' -f2)" = "$2" ] && return 0; sleep 0.2; done
}

# A started service needs real time to report RUNNING under Wine, more than
# the usual 1/1000 scaling leaves of the start's 3-second polls.
export IKX_TIME_DIVISOR=20

banner "Sensor drivers qvkxutil, qvkxflt, qvkxcore as kernel-driver services at system start"
for d in qvkxutil qvkxflt qvkxcore; do
  run sc create $d type= kernel start= system binPath= "System32\\drivers\\$d.sys" >/dev/null
done
driver_start_types
# The client stand-in now also starts its engine when it starts, as the real client does.
run sc stop QVKXC >/dev/null || true
wait_state QVKXC STOPPED
run sc delete QVKXC >/dev/null
run sc create QVKXC binPath= "\"${sensor_win}KXClient.exe\" --name QVKXC --journal \"${sensor_win}KXC_ipc_journal.txt\" --start-with QVKXE" >/dev/null
run sc start QVKXC >/dev/null
wait_state QVKXE RUNNING
echo "  QVKXC $(service_state QVKXC), QVKXE $(service_state QVKXE)"

banner "MDR off: the sensor is told (0x6001), stopped, and its drivers set to demand start"
journal="${sensor_unix}/KXC_ipc_journal.txt"
journal_before=0
[ -f "$journal" ] && journal_before=$(wc -l < "$journal")
ask command VORN_ONCOMMAND_MDR_SETTING "" '{"enable":0}'
echo "  -- the sensor client received --"
tail -n +"$((journal_before + 1))" "$journal" | sed 's/^/  /'
driver_start_types
ask query VORN_ONQUERY_SERVICE_STATUS

banner "MDR on: the client is started (it starts its engine) and told (0x4001)"
ask command VORN_ONCOMMAND_MDR_SETTING "" '{"enable":1}'
driver_start_types
wait_state QVKXE RUNNING
ask query VORN_ONQUERY_SERVICE_STATUS

banner "An agent policy: disable (cfg_flag 2), policy id 64 in MDR mode (ba1)"
server_out="$IKX_BUILD_DIR/demo-pelmoserver.out"
run "$bin/pelmoserver.exe" > "$server_out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q listening "$server_out" && break; sleep 0.1; done
IKX_PELMO_SERVER=$(awk '/listening on/ {print $3}' "$server_out" | tr -d '\r')
export IKX_PELMO_SERVER
echo "  management server stand-in listening on $IKX_PELMO_SERVER"
ask command VORN_ONCOMMAND_IAGENT_POLICY VORN_IAGENT_ISSUE_POLICY '{"cfg_flag":2,"cfg_data":"ba1"}'
echo "  -- the management server received --"
for _ in $(seq 50); do grep -q '^POST' "$server_out" && break; sleep 0.1; done
grep -v listening "$server_out" | tr -d '\r' | sed 's/^/  /'
echo "  -- the policy values in the registry --"
run reg export "$kxc_key" "Z:${IKX_BUILD_DIR//\//\\}\\demo-kxc.reg" /y >/dev/null
iconv -f UTF-16LE -t UTF-8 "$IKX_BUILD_DIR/demo-kxc.reg" | tr -d '\r' | grep '"Policy' | sed 's/^/  /'
kill "$server_pid" 2>/dev/null || true
unset IKX_PELMO_SERVER IKX_TIME_DIVISOR
