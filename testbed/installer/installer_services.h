#pragma once
// The installer stand-in's work on the service manager and the registry.
#include <string>

// HKLM, default view; creates the key.
void SetValue(const std::wstring& key, const std::wstring& name, const std::wstring& value);
void DeleteSensorKeys();

// Stops and deletes QVKXC, QVKXE, KXClient and KXE where they exist, and
// waits until the service manager no longer knows them.
void RemoveSensorServices();
// QVKXC and QVKXE on the sensor service in `folder` (ending with a backslash).
bool CreateSensorServices(const std::wstring& folder);
// Starts both and waits until they run.
bool StartSensorServices();
