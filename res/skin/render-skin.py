#!/usr/bin/python3
"""Renders the skin's pictures from the SVG sources beside this script.

Each window is one SVG. Its buttons carry .rest, .hover and .down looks
(and .primary/.alt for two-faced parts such as start/stop); a render shows
one combination, and every button picture is cut from a render of the whole
window, so a hover or pressed picture always lines up with the background.

usage: render-skin.py GROUP WORK_DIR OUT_DIR
  GROUP is one of: main, menu, tutorial, logo, closing, icon;
  for icon, OUT_DIR is the .ico file
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Baseline JPEG, no chroma subsampling: the pictures are small and sharp.
JPEG = ["-strip", "-interlace", "none", "-sampling-factor", "1x1", "-quality", "95"]

SHOW = {
    "base": "",
    "hover": ".rest{display:none} .hover{display:inline}",
    "down": ".rest{display:none} .down{display:inline}",
}
ALT = ".primary{display:none} .alt{display:inline}"

# group -> (svg, [(render css, [(picture, x, y, w, h)])]); None for the size
# of the whole render.
GROUPS = {
    "main": ("Main.svg", [
        (SHOW["base"], [("Main.jpg", 0, 0, 330, 180), ("start.jpg", 132, 113, 57, 29),
                        ("arrow_left.jpg", 0, 28, 9, 150), ("lamp_.jpg", 289, 44, 33, 28)]),
        (SHOW["hover"], [("start_over.jpg", 132, 113, 57, 29),
                         ("auto_switch_over.jpg", 196, 113, 57, 29),
                         ("check_over.jpg", 259, 113, 57, 29),
                         ("about_over.jpg", 288, 6, 10, 10), ("minim_over.jpg", 299, 6, 10, 11),
                         ("exit_over.jpg", 310, 6, 10, 10), ("arrow_left_over.jpg", 0, 28, 9, 150)]),
        (SHOW["down"], [("start_down.jpg", 132, 113, 57, 29),
                        ("auto_switch_down.jpg", 196, 113, 57, 29),
                        ("check_down.jpg", 259, 113, 57, 29),
                        ("about_down.jpg", 288, 6, 10, 10), ("minim_down.jpg", 299, 6, 10, 11),
                        ("exit_down.jpg", 310, 6, 10, 10)]),
        (ALT, [("stop.jpg", 132, 113, 57, 29), ("arrow_right.jpg", 0, 28, 9, 150),
               ("lamp_green.jpg", 289, 44, 33, 28)]),
        (ALT + SHOW["hover"], [("stop_over.jpg", 132, 113, 57, 29),
                               ("arrow_right_over.jpg", 0, 28, 9, 150)]),
        (ALT + SHOW["down"], [("stop_down.jpg", 132, 113, 57, 29)]),
    ]),
    # Cut one pixel right of the buttons' client positions: the picture is
    # drawn at x = -1.
    "menu": ("MenuForm.svg", [
        (SHOW["base"], [("menu_form.jpg", 0, 0, 457, 207)]),
        (SHOW["hover"], [("options_over.jpg", 16, 40, 103, 45), ("help_over.jpg", 16, 142, 103, 45),
                         ("menu_form_exit_over.jpg", 434, 7, 10, 10)]),
        (SHOW["down"], [("options_down.jpg", 16, 40, 103, 45), ("help_down.jpg", 16, 142, 103, 45),
                        ("menu_form_exit_down.jpg", 434, 7, 10, 10)]),
    ]),
    "tutorial": ("TutorialForm.svg", [
        (SHOW["base"], [("TutorialForm.jpg", 0, 0, 615, 532)]),
        (SHOW["hover"], [("Tutorial_OK_over.jpg", 479, 452, 107, 50)]),
        (SHOW["down"], [("Tutorial_OK_down.jpg", 479, 452, 107, 50)]),
    ]),
    "logo": ("Logo.svg", [(SHOW["base"], [("about_logo.jpg", 0, 0, 96, 96)])]),
    "closing": ("Closing.svg", [(SHOW["base"], [
        ("closing_minimize.jpg", 0, 0, 28, 23), ("closing_close.jpg", 28, 0, 28, 23),
        ("closing_ask.jpg", 56, 0, 28, 23)])]),
}

# The icon's images: (svg, size); 16 px has its own drawing.
ICON = [("Icon16.svg", 16), ("Icon.svg", 32), ("Icon.svg", 48)]

# Pictures a group's SVG shows of another window: (svg, css, png name).
EMBEDDED = {
    "tutorial": [("Main.svg", "#start .primary, #lamp .primary{display:none} "
                              "#start .alt, #lamp .alt{display:inline}", "main-running.png")],
}


def load_svg(name, css):
    """The SVG's text with the shared parts included and the render's
    style sheet appended."""
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        text = f.read()

    def include(match):
        with open(os.path.join(HERE, match.group(1)), encoding="utf-8") as part:
            return part.read()

    text = re.sub(r"<!--#include (\S+)-->", include, text)
    if css:
        text = text.replace("</svg>", f"<style>{css}</style>\n</svg>")
    return text


def render(svg_name, css, work_dir, tag, png_name=None):
    stem = os.path.splitext(svg_name)[0]
    svg_path = os.path.join(work_dir, f"{stem}-{tag}.svg")
    png_path = os.path.join(work_dir, png_name or f"{stem}-{tag}.png")
    with open(svg_path, "w", encoding="utf-8") as f:
        f.write(load_svg(svg_name, css))
    subprocess.run(["rsvg-convert", "--format=png", "-o", png_path, svg_path], check=True)
    return png_path


def cut(png_path, pictures, out_dir):
    """One convert call cuts every picture of a render."""
    args = ["convert", png_path, "-background", "#000000", "-alpha", "remove", "-alpha", "off"]
    for name, x, y, w, h in pictures:
        args += ["(", "+clone", "-crop", f"{w}x{h}+{x}+{y}", "+repage", *JPEG,
                 "-write", os.path.join(out_dir, name), "+delete", ")"]
    args += ["null:"]
    subprocess.run(args, check=True)


def build_icon(work_dir, ico_path):
    pngs = []
    for svg_name, size in ICON:
        svg_path = os.path.join(work_dir, f"icon-{size}.svg")
        png_path = os.path.join(work_dir, f"icon-{size}.png")
        with open(svg_path, "w", encoding="utf-8") as f:
            f.write(load_svg(svg_name, ""))
        subprocess.run(["rsvg-convert", "--format=png", "-w", str(size), "-h", str(size),
                        "-o", png_path, svg_path], check=True)
        pngs.append(png_path)
    subprocess.run(["convert", *pngs, ico_path], check=True)


def build_group(group, work_dir, out_dir):
    svg_name, renders = GROUPS[group]
    # librsvg reads images only from beside the SVG, so they go into the
    # group's work folder.
    for index, (other_svg, css, png_name) in enumerate(EMBEDDED.get(group, [])):
        render(other_svg, css, work_dir, f"embedded{index}", png_name)
    for index, (css, pictures) in enumerate(renders):
        png = render(svg_name, css, work_dir, str(index))
        cut(png, pictures, out_dir)


def main():
    group, work_dir, out_dir = sys.argv[1:4]
    os.makedirs(work_dir, exist_ok=True)
    if group == "icon":
        os.makedirs(os.path.dirname(os.path.abspath(out_dir)), exist_ok=True)
        build_icon(work_dir, out_dir)
        return
    os.makedirs(out_dir, exist_ok=True)
    if group not in GROUPS:
        sys.exit(f"unknown group {group!r}; known: {', '.join(GROUPS)}")
    build_group(group, work_dir, out_dir)


if __name__ == "__main__":
    main()
