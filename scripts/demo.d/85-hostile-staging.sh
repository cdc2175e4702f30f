# Sourced by scripts/demo: a local user plants a link where the uninstall
# stages its backup; the uninstall refuses it and the link's target is
# neither emptied, given a backup, nor used to run an installer from.
banner "A link planted as C:\\Windows\\Temp\\Sensor: the uninstall refuses it"
victim="$WINEPREFIX/drive_c/victim"
staging="$WINEPREFIX/drive_c/windows/temp/Sensor"
rm -rf "$victim" "$staging"
mkdir -p "$victim"
echo "a user's file" > "$victim/precious.txt"
ln -s "$victim" "$staging"
echo "  C:\\Windows\\Temp\\Sensor -> C:\\victim, which holds: $(ls "$victim" | xargs)"
IKX_TIME_DIVISOR=100 ask command VORN_ONCOMMAND_INSTALLATION VORN_IAGENT_UNINSTALL
echo "  -- C:\\victim afterwards: $(ls "$victim" | xargs) ($(cat "$victim/precious.txt")) --"
rm -f "$staging"
rm -rf "$victim"
