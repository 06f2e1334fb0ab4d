// File-name masks.
#pragma once

#include <string>

// Whether the whole `Name` matches `Mask`, case-sensitively. In the mask "?"
// stands for exactly one character and "*" for any run of characters (none
// included); every other character stands for itself.
bool NameMatchesMask(const std::string& Name, const std::string& Mask);
