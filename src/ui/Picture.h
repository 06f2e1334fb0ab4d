// Pictures of the skinned windows: JPEG files decoded with libjpeg.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/gui/Gui.h"

// A picture file that is missing, unreadable or not a JPEG.
class EPictureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes JPEG bytes (grey or colour) into a bitmap named `source`; raises
// EPictureError on anything libjpeg refuses.
gui::Bitmap DecodeJpeg(const std::string& bytes, const std::string& source);

// A skin picture's path: the application folder's "res" folder + `Name`.
std::string SkinPath(const std::string& Name);
// The name a picture goes by in descriptions: "res\" + `Name`.
std::string SkinSource(const std::string& Name);

// A picture slot of an element: empty, or a decoded bitmap shared by every
// slot that holds the same load.
class TPicture {
 public:
  bool Empty() const { return !FBitmap; }
  const gui::Bitmap* Bitmap() const { return FBitmap.get(); }
  // The name the picture was loaded by ("" when empty).
  std::string Source() const { return FBitmap ? FBitmap->source : std::string(); }
  // Reads the JPEG file `path`; `source` is how descriptions name it. Raises
  // EPictureError, leaving the slot as it was.
  void LoadFromFile(const std::string& path, const std::string& source);
  void Assign(const TPicture& other) { FBitmap = other.FBitmap; }
  void Clear() { FBitmap.reset(); }

 private:
  std::shared_ptr<const gui::Bitmap> FBitmap;
};
