#include "ui/Picture.h"

#include <csetjmp>
#include <cstdio>
#include <limits>

// jpeglib.h wants the standard I/O declarations first.
#include <jpeglib.h>

#include "base/AppFolders.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

// A skin picture is a few hundred pixels across; this keeps a damaged or
// hostile header from asking for gigabytes.
constexpr JDIMENSION kMaxSide = 8192;

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

void SilentMessage(j_common_ptr /*info*/) {}

// Kept apart from C++ objects with destructors: longjmp skips them.
bool Decode(const std::string& bytes, gui::Bitmap& out, char* message) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = ErrorExit;
  errors.base.output_message = SilentMessage;
  errors.message[0] = '\0';
  if (setjmp(errors.jump)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", errors.message);
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  if (info.image_width > kMaxSide || info.image_height > kMaxSide) {
    std::snprintf(message, JMSG_LENGTH_MAX, "picture too large (%ux%u)", info.image_width,
                  info.image_height);
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  out.width = static_cast<int>(info.output_width);
  out.height = static_cast<int>(info.output_height);
  out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, 0);
  // From libjpeg's own pool, so an error's longjmp leaks nothing.
  JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                              info.output_width * 3, 1);
  while (info.output_scanline < info.output_height) {
    const std::size_t y = info.output_scanline;
    jpeg_read_scanlines(&info, rows, 1);
    for (std::size_t x = 0; x < info.output_width; ++x) {
      const unsigned char* p = rows[0] + x * 3;
      out.pixels[y * info.output_width + x] = gui::Rgb(p[0], p[1], p[2]);
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

gui::Bitmap DecodeJpeg(const std::string& bytes, const std::string& source) {
  if (bytes.size() > std::numeric_limits<unsigned long>::max() / 2) {
    throw EPictureError("Picture " + source + " is too large");
  }
  gui::Bitmap bitmap;
  bitmap.source = source;
  char message[JMSG_LENGTH_MAX] = "";
  if (!Decode(bytes, bitmap, message)) {
    throw EPictureError("Picture " + source + " cannot be read: " + message);
  }
  return bitmap;
}

void TPicture::LoadFromFile(const std::string& path, const std::string& source) {
  const std::optional<std::string> bytes = platform::ReadWholeFile(path);
  if (!bytes) throw EPictureError("Cannot open file \"" + path + "\"");
  FBitmap = std::make_shared<const gui::Bitmap>(DecodeJpeg(*bytes, source));
}

std::string SkinPath(const std::string& Name) {
  return ApplicationFolder() + "res" + platform::kPathDelim + Name;
}

std::string SkinSource(const std::string& Name) { return "res\\" + Name; }
