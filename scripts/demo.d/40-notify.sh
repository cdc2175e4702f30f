# Sourced by scripts/demo: one notification of each kind to the running
# sensor, each followed by what the sensor client service (QVKXC) received,
# read from its journal: UTF-16 payloads as text, the self-protection word as
# a number.
journal="$sensor_unix/KXC_ipc_journal.txt"

journal_lines() { if [ -f "$journal" ]; then wc -l < "$journal"; else echo 0; fi; }

# Prints the journal lines after line $1, decoded.
received_since() {
  local line dest type code length hex text
  [ -f "$journal" ] || return 0
  tail -n +"$(($1 + 1))" "$journal" | while read -r dest type code length hex; do
    if [ "$hex" = "-" ]; then
      text="(no payload)"
    elif [ "$code" = "0x4002" ]; then
      text="word $((16#${hex:6:2}${hex:4:2}${hex:2:2}${hex:0:2}))"
    else
      # The payload is UTF-16LE without a terminator; a line feed shows as \n.
      text=\"$(printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" | iconv -f UTF-16LE -t UTF-8 |
        sed -z 's/\n/\\n/g')\"
    fi
    printf '  QVKXC received: destination %s, type %s, id %s, %s bytes: %s\n' \
      "$dest" "$type" "$code" "$length" "$text"
  done
}

# Sends one notification with vornhost, then shows what the sensor received
# and the records of the notification handlers (and any warning).
notify() {
  local before before_log
  before=$(journal_lines)
  before_log=$(wc -l < "$logfile")
  echo "  vornhost notify $*"
  run "$bin/vornhost.exe" notify "$@" | grep 'vornExt_OnNotify returned' | sed 's/^/  /' || true
  received_since "$before"
  [ "$(journal_lines)" -gt "$before" ] || echo "  QVKXC received nothing"
  sleep 0.3   # the log service prints asynchronously
  echo "  -- records of the handlers --"
  tail -n +"$((before_log + 1))" "$logfile" | grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2} ' |
    grep -E 'vornExt_Notify.cpp|^[0-9:]+ warn ' | grep -v "VornAgent dll's signer" | sed 's/^/  /' || true
}

run sc start QVKXC >/dev/null 2>&1 || true
download_unix="$WINEPREFIX/drive_c/ikx_download"
download_win='C:\ikx_download'
mkdir -p "$download_unix"
echo "pattern 2101800" > "$download_unix/ikx_adp_2101800.ptn"

banner "Notify: component update (ADE pattern 2101800 over installed 2.101.7)"
notify VORN_SCHEDULE_COMPONENT_UPDATE VORN_RUNTIME_COMPONENT_INFO \
  "[{\"au_type\":\"48040224\",\"version\":\"2101800\",\"download_folder\":\"${download_win//\\/\\\\}\"}]"
echo "  pattern copied for the sensor: $(ls "$sensor_unix/temp/Pattern/kxadp/" 2>/dev/null)"
banner "Notify: component update with a version that is not newer (nothing is sent)"
notify VORN_MANUAL_COMPONENT_UPDATE VORN_ALL_PLATFORM_COMPONENT_INFO \
  '[{"au_type":"48040184","version":"123400","download_folder":"C:\\ikx_download"}]'
banner "Notify: agent context (coexistence)"
notify VORN_ONNOTIFY_CONTEXT_CHANGE VORN_TYPE_AGENT_CONTEXT \
  '{"data_ver":"1.0","agent_guid":"{6F1C2A7E-3B9D-4E21-8A55-0C7D9E1B2F34}","coexist":"iBorda"}'
banner "Notify: aggressive detection"
notify VORN_ONNOTIFY_CONTEXT_CHANGE VORN_TYPE_AGGRESSIVE_DETECTION \
  '{"data_ver":"1.0","data_time":1700000000,"iproduct_aggre_detect_flag":1}'
banner "Notify: self-protection (process protection on)"
notify VORN_ONNOTIFY_ADMIN_CFG_CHANGE VORN_TYPE_SELF_PROTECTION \
  '{"enable":{"file":0,"process":1,"registry":0,"service":0}}'
banner "Notify: trusted programs"
notify VORN_ONNOTIFY_ADMIN_CFG_CHANGE VORN_TYPE_TRUSTED_PROGRAM \
  '{"count":3,"list":["C:\\Tools\\a.exe","b.exe","d.exe"]}'
banner "Notify: census feedback"
notify VORN_ONNOTIFY_ADMIN_CFG_CHANGE VORN_TYPE_SARN_CENSUS \
  '{"data_ver":"2","feedback":{"enable":1,"industry_id":7},"census":{"server":"census.example","port":80}}'
banner "Notify: proxy"
notify VORN_ONNOTIFY_ADMIN_CFG_CHANGE VORN_TYPE_PROXY '{"ie_proxy":{"use_proxy":true}}'
banner "Notify: data-lake logging"
notify VORN_ONNOTIFY_XDR_SETTING VORN_TYPE_DATALAKE_LOGGING_INFO \
  '{"enable":true,"upload_interval":300,"endpoint":"https://lake.example/ingest"}'
banner "Notify: lightweight mode"
notify VORN_ONNOTIFY_LIGHTWEIGHT_MODE_STATE_CHANGE VORN_TYPE_LIGHTWEIGHT_MODE_STATE_CHANGE \
  '{"state":1,"data_ver":"3"}'
rm -rf "$download_unix"
