# Sourced by scripts/demo: removes the sensor that the install step left.
banner "Removing the sensor: VORN_ONCOMMAND_INSTALLATION / VORN_IAGENT_UNINSTALL"
IKX_TIME_DIVISOR=100 ask command VORN_ONCOMMAND_INSTALLATION VORN_IAGENT_UNINSTALL
echo "  -- what is left --"
for s in QVKXC QVKXE; do
  if run sc query $s >/dev/null 2>&1; then echo "  service $s still exists"; else echo "  service $s: gone"; fi
done
if [ -d "$sensor_unix" ]; then echo "  install folder still there"; else echo "  install folder: gone"; fi
echo "  kept uninstaller log: $(ls "$WINEPREFIX/drive_c/windows/temp/KXE_Debug" | grep Uninstall | tail -1)"

banner "Service status (4: not installed)"
ask query VORN_ONQUERY_SERVICE_STATUS
