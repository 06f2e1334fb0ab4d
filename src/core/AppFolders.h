// Where the program's own files lie and where it keeps what it writes.
#pragma once

#include <string>

// Records the application folder and sets and creates the data folder.
void InitAppFolders(const std::string& DataPath);

// The executable's folder, with a trailing separator.
const std::string& ApplicationFolder();
// The data folder, with a trailing separator; empty before InitAppFolders.
const std::string& DataFolder();
