#pragma once
// Package extraction through the unzip wrapper.
#include <string>

namespace ikx {

// Unpacks every entry of a zip archive into `folder`; true when all were written.
bool DecompressFile(const std::wstring& archive, const std::wstring& folder);

}  // namespace ikx
