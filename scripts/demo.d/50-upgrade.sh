# Sourced by scripts/demo: upgrades the installed sensor from a second package
# through the seven update exports (vornhost update), then lets a third
# package's installer fail halfway and shows the rollback putting the previous
# installation back. Runs with IKX_TIME_DIVISOR=100 like the install step.
upgrade_unix="$IKX_BUILD_DIR/demo-upgrade"
upgrade_win='Z:'"${upgrade_unix//\//\\}"
broken_unix="$IKX_BUILD_DIR/demo-upgrade-broken"
broken_win='Z:'"${broken_unix//\//\\}"
before_unix="$IKX_BUILD_DIR/demo-install-before"
kept_unix="$WINEPREFIX/drive_c/windows/temp/KXE_Debug"

show_version() {
  run "$bin/vornhost.exe" query VORN_ONQUERY_PRODUCT_VERSION | grep -E '"product_version"' | sed 's/^ */  /'
}
show_services() {
  for s in QVKXC QVKXE; do
    run sc query $s | tr -s ' ' | grep -E 'STATE' | sed "s/^/  $s /"
  done
}

banner "Upgrade: the installed version, then a second package (kxpackage.exe, version 3.3.5120)"
show_version
rm -rf "$upgrade_unix" "$broken_unix" "$before_unix"
run "$bin/kxpackage.exe" "$upgrade_win" 3.3.5120

banner "vornhost update: prerequisite, create, pre-update, update, post-update, release"
IKX_TIME_DIVISOR=100 ask update "$upgrade_win"
echo "  kept upgrade logs: $(ls "$kept_unix" | grep _Upgrade_ | tr '\n' ' ')"
echo "  version after the upgrade:"
show_version
show_services

banner "A failed upgrade: the third package's installer stops after part of the files"
run "$bin/kxpackage.exe" "$broken_win" 3.4.6000
cp -a "$sensor_unix" "$before_unix"
IKX_INSTALLER_SCRIPT=fail-after-files IKX_TIME_DIVISOR=100 ask update "$broken_win"
echo "  version after the rollback:"
show_version
if diff -r "$before_unix" "$sensor_unix" >/dev/null; then
  echo "  install folder: identical to before the failed upgrade ($(find "$sensor_unix" -type f | wc -l) files)"
else
  echo "  install folder: DIFFERS from before the failed upgrade"
fi
echo "  the installer recreated the services and the rollback leaves them stopped:"
show_services
run sc start QVKXC >/dev/null && run sc start QVKXE >/dev/null
echo "  started again by hand:"
sleep 1
show_services
rm -rf "$upgrade_unix" "$broken_unix" "$before_unix"
