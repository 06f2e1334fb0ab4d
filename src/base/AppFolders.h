// Where the program's own files lie and where it keeps what it writes.
#pragma once

#include <string>

// Records the application folder and sets and creates the data folder.
void InitAppFolders(const std::string& DataPath);

// Where every program of the product keeps what it writes: the shared
// documents folder + the product's name, with a trailing separator.
std::string ProductDataFolder();

// The executable's folder, with a trailing separator.
const std::string& ApplicationFolder();
// The data folder, with a trailing separator; empty before InitAppFolders.
const std::string& DataFolder();

// Tests put the program's own files (skins, language files, engine library)
// in a folder of their own.
void SetApplicationFolderForTesting(const std::string& Folder);
