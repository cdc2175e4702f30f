# Sourced by scripts/demo: another failed upgrade, rolled back while a reader
# (a scanner, a backup agent, any user) holds two files of the install folder
# open. The rollback copies the backup over what is there before it removes
# anything: every other file comes back, what the failed installer added
# goes, and the two files it could not replace are named in the log.
held_unix="$IKX_BUILD_DIR/demo-upgrade-held"
held_win='Z:'"${held_unix//\//\\}"
before_unix="$IKX_BUILD_DIR/demo-install-before"
reader_in="$IKX_BUILD_DIR/demo-holdfile.in"
reader_out="$IKX_BUILD_DIR/demo-holdfile.out"

banner "A failed upgrade rolled back while a reader holds two files of the install folder open"
rm -rf "$held_unix" "$before_unix" "$reader_in"
run "$bin/kxpackage.exe" "$held_win" 3.4.6001
cp -a "$sensor_unix" "$before_unix"
mapfile -t held < <(cd "$sensor_unix" && find . -maxdepth 1 -type f -name '*.dll' -printf '%f\n' | sort | head -2)
mkfifo "$reader_in"
run "$bin/holdfile.exe" "$sensor_win${held[0]}" "$sensor_win${held[1]}" < "$reader_in" > "$reader_out" 2>&1 &
reader_pid=$!
exec 9> "$reader_in"   # the reader holds on while this stays open
for _ in $(seq 100); do grep -q holding "$reader_out" && break; sleep 0.1; done
echo "  a reader holds ${held[0]} and ${held[1]} (shared for reading only)"
IKX_INSTALLER_SCRIPT=fail-after-files IKX_TIME_DIVISOR=100 ask update "$held_win" |
  grep -E 'Could not restore|does not match|Trigger installer failed|log records' || true
exec 9>&-
wait "$reader_pid" || true
total=$(find "$before_unix" -type f | wc -l)
differing=$(diff -rq "$before_unix" "$sensor_unix" | sed -e "s|$before_unix/||" -e "s|$sensor_unix/||" | tr '\n' ';' || true)
restored=$(cd "$before_unix" && find . -type f | while read -r f; do cmp -s "$f" "$sensor_unix/$f" && echo; done | wc -l)
echo "  install folder: $restored of $total files as before the failed upgrade; differing: ${differing:-none}"
run sc start QVKXC >/dev/null && run sc start QVKXE >/dev/null || true
rm -rf "$held_unix" "$before_unix" "$reader_in" "$reader_out"
