# Sourced by scripts/demo: builds a sensor package from the stand-ins,
# installs it through vornhost's command subcommand and asks the queries.
# The install runs with IKX_TIME_DIVISOR=100, so the installer has the
# scaled 20 minutes (12 s) to finish even on a busy machine.
pkg_unix="$IKX_BUILD_DIR/demo-package"
pkg_win='Z:'"${pkg_unix//\//\\}"
pkg_json="{\"PkgPath\":\"${pkg_win//\\/\\\\}\"}"

banner "Building the sensor package instupg_iKX.zip (kxpackage.exe, version 3.2.1.4321)"
rm -rf "$pkg_unix"
run "$bin/kxpackage.exe" "$pkg_win" 3.2.1.4321

banner "Installing it: VORN_ONCOMMAND_INSTALLATION / VORN_IAGENT_INSTALL with PkgPath"
IKX_TIME_DIVISOR=100 ask command VORN_ONCOMMAND_INSTALLATION VORN_IAGENT_INSTALL "$pkg_json"
echo "  -- what the installer left --"
for s in QVKXC QVKXE; do
  run sc query $s | tr -s ' ' | grep -E 'STATE' | sed "s/^/  $s /"
done
run reg query "$kxe_key" /v InstallDir | grep InstallDir | sed 's/^/  /'
echo "  kept installer log: $(ls "$WINEPREFIX/drive_c/windows/temp/KXE_Debug" | grep Install | tail -1)"

banner "Service status (1: running)"
ask query VORN_ONQUERY_SERVICE_STATUS
banner "Product version (the package's)"
ask query VORN_ONQUERY_PRODUCT_VERSION
banner "Component info (the package's pattern versions)"
ask query VORN_ONQUERY_COMPONENT_INFO VORN_RUNTIME_COMPONENT_INFO
banner "Status log"
ask query VORN_ONQUERY_CLIENT_STATUS_LOG VORN_CLIENT_ALL_STATUS_LOG
banner "Common settings"
ask query VORN_ONQUERY_COMMON_SETTINGS
banner "Self-protection lists"
ask query VORN_ONQUERY_SELF_PROTECTION
