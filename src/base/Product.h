// The product's names that every program of it shares.
#pragma once

// Title, caption, tray hint, start-up entry, and the data folder's name.
inline constexpr char kProductName[] = "Nimbra";
// Logging is on while this key exists under HKEY_CURRENT_USER.
inline constexpr char kDebugModeKey[] = "SOFTWARE\\Corvane\\Nimbra\\DebugMode";
