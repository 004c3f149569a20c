#pragma once
// The version record the program carries.

namespace version {
constexpr const char* kFileVersion = "1.0.0.1";
constexpr const char* kProductVersion = "1.0.0.1";
constexpr const char* kFileVersionText = "1, 0, 0, 1";
constexpr const char* kProductVersionText = "1, 0, 0, 1";
constexpr const char* kStringBlock = "080404B0"; // Chinese (PRC), UTF-16
constexpr unsigned kLanguage = 0x0804;
constexpr unsigned kCodePage = 1200;
constexpr const char* kProductName = "Pellomatic";
} // namespace version
