# Sourced by scripts/demo: a folder of mixed detection logs handed to
# vornExt_ParseLog one by one, as the framework's collector does. Complete
# records come back and stay; broken ones go to the install folder's
# "temp\Corrupt\" as NAME.brk; a read-only one is left for a later call.
banner "Detection log intake: writing a folder of mixed detection logs"
logs_unix="$sensor_unix/DetectionLogs"
logs_win="${sensor_win}DetectionLogs"
rm -rf "$logs_unix" "$sensor_unix/temp/Corrupt"
mkdir -p "$logs_unix" "$sensor_unix/temp/Corrupt"
run "$bin/detlog_gen.exe" "$logs_win" --mixed 1048576
cp "$logs_unix/valid_1000.json" "$logs_unix/valid_read_only.json"
chmod a-w "$logs_unix/valid_read_only.json"   # read-only to Windows as well
echo "valid_read_only.json (a copy of valid_1000.json, read-only)"

banner "Detection log intake: vornhost parselog on the folder"
ask parselog "$logs_win"

banner "Detection log intake: what is left where"
echo "-- still in DetectionLogs (accepted, or not readable yet):"
ls -l "$logs_unix" | tail -n +2 | awk '{print "  " $1, $5, $9}'
echo "-- moved aside to temp\\Corrupt:"
ls -l "$sensor_unix/temp/Corrupt" | tail -n +2 | awk '{print "  " $1, $5, $9}'
chmod u+w "$logs_unix/valid_read_only.json"
