// Identity of the product this update is for, and the names it is found by.
#pragma once

#include <cstdint>
#include <string>

namespace tarvo::app {

inline constexpr int kGeneration = 7;

// "Tarvo Estimate 7".
std::string ProductName();
// The product name without " Estimate " (any case) followed by ".exe": "Tarvo7.exe".
std::string ProductExeName();
// The lowest product version the update accepts: "7.25b".
std::string RequiredVersion();

inline constexpr char kUninstallKey[] =
    "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{3F1B7C20-8D4E-4A6B-9C35-0E2A7D19B648}_is1";
inline constexpr char kRunningMarkerName[] = "Tarvo_Estimate_5_memfile";
inline constexpr char kDescriptionFileName[] = "update6.ini";
inline constexpr char kApplicationTitle[] = "Tarvo Update";

// Windows colour values 0x00BBGGRR; system colours as the component library encodes them.
inline constexpr uint32_t kColorPassed = 0x4000;
inline constexpr uint32_t kColorFailed = 128;
inline constexpr uint32_t kClMaroon = 0x000080;
inline constexpr uint32_t kClRed = 0x0000FF;
inline constexpr uint32_t kClGreen = 0x008000;
inline constexpr uint32_t kClWhite = 0xFFFFFF;
inline constexpr uint32_t kClCream = 0xF0FBFF;
inline constexpr uint32_t kClSkyBlue = 0xF0CAA6;
inline constexpr uint32_t kClMoneyGreen = 0xC0DCC0;
inline constexpr uint32_t kClAqua = 0xFFFF00;
inline constexpr uint32_t kClWindowText = 0xFF000008;
inline constexpr uint32_t kClBtnFace = 0xFF00000F;
inline constexpr uint32_t kClBtnShadow = 0xFF000010;

}  // namespace tarvo::app
