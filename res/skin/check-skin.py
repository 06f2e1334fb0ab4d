#!/usr/bin/python3
"""Checks the generated skin the way the program uses it: exact sizes,
baseline JPEG, hover and pressed pictures that sit on their spot of the
background, a light and empty display panel, a readable lamp, an icon and
help file of the right kind, and pictures without words (the program writes
those in the window's language; the sources may draw only the product's
name, numbers and key caps).

usage: check-skin.py PICTURE_DIR ICON.ico HELP.chm
"""
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
SVG_NS = "{http://www.w3.org/2000/svg}"
# What a picture may spell out: the product's name, key caps, and numbers
# (badges, a clock, an address, a question mark).
DRAWN_TEXT = {"Nimbra", "Ctrl", "Shift", "S", "N", "?"}

# name -> (width, height)
SIZES = {
    "Main.jpg": (330, 180), "menu_form.jpg": (457, 207), "TutorialForm.jpg": (615, 532),
    "about_logo.jpg": (96, 96), "lamp_.jpg": (33, 28), "lamp_green.jpg": (33, 28),
    "exit_over.jpg": (10, 10), "exit_down.jpg": (10, 10), "about_over.jpg": (10, 10),
    "about_down.jpg": (10, 10), "minim_over.jpg": (10, 11), "minim_down.jpg": (10, 11),
    "menu_form_exit_over.jpg": (10, 10), "menu_form_exit_down.jpg": (10, 10),
    "Tutorial_OK_over.jpg": (107, 50), "Tutorial_OK_down.jpg": (107, 50),
}
for stem in ("start", "start_over", "start_down", "stop", "stop_over", "stop_down",
             "auto_switch_over", "auto_switch_down", "check_over", "check_down"):
    SIZES[stem + ".jpg"] = (57, 29)
for stem in ("arrow_left", "arrow_left_over", "arrow_right", "arrow_right_over"):
    SIZES[stem + ".jpg"] = (9, 150)
for stem in ("options_over", "options_down", "help_over", "help_down"):
    SIZES[stem + ".jpg"] = (103, 45)
for stem in ("closing_minimize", "closing_close", "closing_ask"):
    SIZES[stem + ".jpg"] = (28, 23)

# Pictures shown over a painting in a background: (background, x, y, pictures).
# The menu's background is drawn one pixel left of its client area.
OVERLAYS = [
    ("Main.jpg", 132, 113, ["start_over.jpg", "start_down.jpg", "stop_over.jpg", "stop_down.jpg"]),
    ("Main.jpg", 196, 113, ["auto_switch_over.jpg", "auto_switch_down.jpg"]),
    ("Main.jpg", 259, 113, ["check_over.jpg", "check_down.jpg"]),
    ("Main.jpg", 288, 6, ["about_over.jpg", "about_down.jpg"]),
    ("Main.jpg", 299, 6, ["minim_over.jpg", "minim_down.jpg"]),
    ("Main.jpg", 310, 6, ["exit_over.jpg", "exit_down.jpg"]),
    ("menu_form.jpg", 16, 40, ["options_over.jpg", "options_down.jpg"]),
    ("menu_form.jpg", 16, 142, ["help_over.jpg", "help_down.jpg"]),
    ("menu_form.jpg", 434, 7, ["menu_form_exit_over.jpg", "menu_form_exit_down.jpg"]),
    ("TutorialForm.jpg", 587, 7, ["menu_form_exit_over.jpg", "menu_form_exit_down.jpg"]),
    ("TutorialForm.jpg", 479, 452, ["Tutorial_OK_over.jpg", "Tutorial_OK_down.jpg"]),
]


class Picture:
    def __init__(self, path):
        ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"],
                             check=True, capture_output=True).stdout
        fields = ppm.split(maxsplit=4)
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = fields[4]

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.data[i:i + 3])


def is_baseline_jpeg(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"\xff\xd8":
        return False
    i = 2
    while i + 4 <= len(data) and data[i] == 0xFF:
        marker = data[i + 1]
        if marker in (0xC0, 0xC1):
            return True
        if 0xC2 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return False
        i += 2 + struct.unpack(">H", data[i + 2:i + 4])[0]
    return False


def distance(a, b):
    return max(abs(p - q) for p, q in zip(a, b))


def luminance(rgb):
    r, g, b = rgb
    return 0.299 * r + 0.587 * g + 0.114 * b


def words_in_sources():
    """Texts of the skin's SVG sources that are words a reader would need
    in their own language."""
    found = []
    for name in sorted(os.listdir(HERE)):
        if not name.endswith(".svg"):
            continue
        root = ElementTree.parse(os.path.join(HERE, name)).getroot()
        for element in root.iter(SVG_NS + "text"):
            text = "".join(element.itertext()).strip()
            if text in DRAWN_TEXT or re.fullmatch(r"[0-9.:]+", text):
                continue
            found.append(f"{name}: draws the words {text!r}")
    return found


def check(picture_dir, icon_path, chm_path):
    failures = words_in_sources()
    pictures = {}
    for name, size in SIZES.items():
        path = os.path.join(picture_dir, name)
        if not os.path.exists(path):
            failures.append(f"{name}: missing")
            continue
        if not is_baseline_jpeg(path):
            failures.append(f"{name}: not a baseline JPEG")
        pictures[name] = picture = Picture(path)
        if (picture.width, picture.height) != size:
            failures.append(f"{name}: {picture.width}x{picture.height}, wanted {size[0]}x{size[1]}")
    if failures:
        return failures

    # A button's rim is drawn alike in every look, so the outermost ring of
    # pixels matches the background when the picture is on its spot; a
    # one-pixel shift shows there. The tiny caption boxes fill their whole
    # picture, so for them only the corners (background) are compared.
    for background, x0, y0, names in OVERLAYS:
        back = pictures[background]
        for name in names:
            over = pictures[name]
            w, h = over.width, over.height
            if w >= 20 and h >= 20:
                ring = ([(x, 0) for x in range(w)] + [(x, h - 1) for x in range(w)]
                        + [(0, y) for y in range(h)] + [(w - 1, y) for y in range(h)])
                drift = sum(distance(over.pixel(x, y), back.pixel(x0 + x, y0 + y))
                            for x, y in ring) / len(ring)
                if drift > 8:
                    failures.append(f"{name}: its rim does not match {background} at its spot")
            else:
                for cx, cy in ((0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)):
                    if distance(over.pixel(cx, cy), back.pixel(x0 + cx, y0 + cy)) > 60:
                        failures.append(f"{name}: corner {cx},{cy} does not match {background}")
            inside = sum(distance(over.pixel(x, y), back.pixel(x0 + x, y0 + y))
                         for y in range(h) for x in range(w)) / (w * h)
            if inside < 4:
                failures.append(f"{name}: looks the same as {background} under it")

    # The program writes the status in dark grey on the display.
    main = pictures["Main.jpg"]
    lums = [luminance(main.pixel(x, y)) for y in range(67, 89) for x in range(29, 252)]
    if min(lums) < 150:
        failures.append("Main.jpg: the display panel is not light enough for dark text")
    if max(lums) - min(lums) > 45:
        failures.append("Main.jpg: the display panel is not plain (text or artwork on it?)")

    r, g, b = pictures["lamp_green.jpg"].pixel(16, 14)
    if not (g >= 180 and r <= 110 and b <= 130):
        failures.append(f"lamp_green.jpg: centre {r},{g},{b} is not clearly green")
    r, g, b = pictures["lamp_.jpg"].pixel(16, 14)
    if max(r, g, b) > 120 or max(r, g, b) - min(r, g, b) > 25:
        failures.append(f"lamp_.jpg: centre {r},{g},{b} is not dark grey")

    with open(icon_path, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    sizes = sorted((data[6 + 16 * i] or 256) for i in range(count)) if kind == 1 else []
    if reserved != 0 or kind != 1 or sizes != [16, 32, 48]:
        failures.append(f"{icon_path}: wanted an icon of 16, 32 and 48 px, found {sizes}")

    with open(chm_path, "rb") as f:
        if f.read(4) != b"ITSF":
            failures.append(f"{chm_path}: not a compiled HTML help file")
    return failures


def main():
    failures = check(*sys.argv[1:4])
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    print(f"{len(SIZES)} pictures, icon and help file checked: "
          + ("ok" if not failures else f"{len(failures)} problems"))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
