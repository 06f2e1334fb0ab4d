#include "support/SkinFixture.h"

#include <jpeglib.h>

#include <cstdio>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace test_support {

const std::vector<std::string>& SkinNames() {
  static const std::vector<std::string> names = {"Main.jpg",
                                                 "start.jpg",
                                                 "start_over.jpg",
                                                 "start_down.jpg",
                                                 "stop.jpg",
                                                 "stop_over.jpg",
                                                 "stop_down.jpg",
                                                 "auto_switch_over.jpg",
                                                 "auto_switch_down.jpg",
                                                 "check_over.jpg",
                                                 "check_down.jpg",
                                                 "arrow_left.jpg",
                                                 "arrow_left_over.jpg",
                                                 "arrow_right.jpg",
                                                 "arrow_right_over.jpg",
                                                 "exit_over.jpg",
                                                 "exit_down.jpg",
                                                 "about_over.jpg",
                                                 "about_down.jpg",
                                                 "minim_over.jpg",
                                                 "minim_down.jpg",
                                                 "lamp_.jpg",
                                                 "lamp_green.jpg",
                                                 "menu_form.jpg",
                                                 "options_over.jpg",
                                                 "options_down.jpg",
                                                 "help_over.jpg",
                                                 "help_down.jpg",
                                                 "menu_form_exit_over.jpg",
                                                 "menu_form_exit_down.jpg",
                                                 "TutorialForm.jpg",
                                                 "Tutorial_OK_over.jpg",
                                                 "Tutorial_OK_down.jpg",
                                                 "about_logo.jpg",
                                                 "closing_minimize.jpg",
                                                 "closing_close.jpg",
                                                 "closing_ask.jpg"};
  return names;
}

std::string EncodeJpeg(int width, int height, std::uint32_t colour) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 95, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
  for (int x = 0; x < width; ++x) {
    row[x * 3] = static_cast<unsigned char>(colour >> 16);
    row[x * 3 + 1] = static_cast<unsigned char>(colour >> 8);
    row[x * 3 + 2] = static_cast<unsigned char>(colour);
  }
  while (info.next_scanline < info.image_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string bytes(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return bytes;
}

void WriteSkins(const std::string& folder) {
  const std::string res = platform::IncludeTrailingDelimiter(folder) + "res" + platform::kPathDelim;
  platform::ForceDirectories(res);
  for (const std::string& name : SkinNames()) {
    std::uint32_t colour = 0x304050;
    if (name == "lamp_green.jpg") colour = 0x00C000;
    if (name == "lamp_.jpg") colour = 0x505050;
    WriteFileForTest(res + name, EncodeJpeg(16, 8, colour));
  }
}

}  // namespace test_support
