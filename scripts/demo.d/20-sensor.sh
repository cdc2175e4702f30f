# Sourced by scripts/demo: a sensor laid out by hand, and the queries.
banner "Laying out a sensor: registry, install folder, services QVKXC and QVKXE"
mkdir -p "$sensor_unix"
for f in KXClient.exe KXEServiceShell.exe; do cp "$bin/KxSensorService.exe" "$sensor_unix/$f"; done
reg_sz "$kxc_key" Version 3.0.1308
reg_sz "$kxe_key" Version 3.0.1308
reg_sz "$kxe_key" InstallDir "$sensor_win"
run reg add "$kxc_key" /v PolicySetting /t REG_DWORD /d 2 /f >/dev/null
reg_sz "$kxc_key" SLF_KernelGlobalVersion 1.234.00
reg_sz "$kxc_key" SLF_KernelGlobalDownloadTime 132000000000000000
reg_sz "$kxc_key" SLF_ADECorvaskVersion 2.101.7
reg_sz "$kxc_key" SLF_ADECorvaskDownloadTime 133500000000000000
reg_sz "$kxc_key" XdrFilterVersion 1.5.12
reg_sz "$kxc_key" XdrFilterDownloadTime 0
run sc create QVKXC binPath= "\"${sensor_win}KXClient.exe\" --name QVKXC --journal \"${sensor_win}KXC_ipc_journal.txt\"" >/dev/null
run sc create QVKXE binPath= "${sensor_win}KXEServiceShell.exe --name QVKXE --no-ipc" >/dev/null
run sc start QVKXC >/dev/null
run sc start QVKXE >/dev/null
sleep 1

banner "Service status (both services running)"
ask query VORN_ONQUERY_SERVICE_STATUS
banner "Product version"
ask query VORN_ONQUERY_PRODUCT_VERSION
banner "Status log"
ask query VORN_ONQUERY_CLIENT_STATUS_LOG VORN_CLIENT_ALL_STATUS_LOG
banner "Component info"
ask query VORN_ONQUERY_COMPONENT_INFO VORN_RUNTIME_COMPONENT_INFO
banner "Common settings"
ask query VORN_ONQUERY_COMMON_SETTINGS
banner "Self-protection lists"
ask query VORN_ONQUERY_SELF_PROTECTION

banner "Stopping the engine service QVKXE, then asking again"
run sc stop QVKXE >/dev/null
sleep 1
ask query VORN_ONQUERY_SERVICE_STATUS
ask query VORN_ONQUERY_COMPONENT_INFO VORN_ALL_PLATFORM_COMPONENT_INFO

