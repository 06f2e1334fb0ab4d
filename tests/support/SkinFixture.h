// Skin pictures for tests: small JPEG files of the names the windows load,
// each of one colour, in a "res" folder of a test's application folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// Every picture the windows load (the names beneath "res").
const std::vector<std::string>& SkinNames();

// A baseline JPEG of one colour (0xRRGGBB).
std::string EncodeJpeg(int width, int height, std::uint32_t colour);

// Writes every skin picture into `folder` + "res/"; the lamps get colours a
// test can tell apart (lamp_green.jpg green, lamp_.jpg grey).
void WriteSkins(const std::string& folder);

}  // namespace test_support
