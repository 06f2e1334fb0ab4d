#!/usr/bin/python3
"""Fails unless the label font carries none of the source's reserved name in
its name table and draws every status text within the label's width.

usage: check-font.py LCDN.TTF [CELL_PX [MAX_PX]]
"""
import sys

from fontTools.ttLib import TTFont

# The English status texts; the longest decides the condensing.
TEXTS = [
    "Starting proxy: 42%",
    "Starting proxy: 100%",
    "Anonymity OFF",
    "Retrieving IP address",
    "203.0.113.254",
    "255.255.255.255",
]


def text_width(font, text, cell_px):
    cmap = font.getBestCmap()
    hmtx = font["hmtx"]
    os2 = font["OS/2"]
    cell_units = os2.usWinAscent + os2.usWinDescent
    units = 0
    for ch in text:
        glyph = cmap.get(ord(ch))
        if glyph is None:
            raise SystemExit(f"{text!r}: the font has no glyph for {ch!r}")
        units += hmtx[glyph][0]
    return units * cell_px / cell_units


def main():
    path = sys.argv[1]
    cell_px = float(sys.argv[2]) if len(sys.argv) > 2 else 24.0
    max_px = float(sys.argv[3]) if len(sys.argv) > 3 else 225.0
    font = TTFont(path)
    failures = []

    if font["name"].getDebugName(1) != "LcdD":
        failures.append(f"family is {font['name'].getDebugName(1)!r}, not 'LcdD'")
    for record in font["name"].names:
        if "dseg" in record.toUnicode().lower():
            failures.append(f"name ID {record.nameID} uses the reserved name")

    for text in TEXTS:
        width = text_width(font, text, cell_px)
        verdict = "ok" if width <= max_px else "TOO WIDE"
        print(f"{width:7.1f} px  {text}  {verdict}")
        if width > max_px:
            failures.append(f"{text!r} is {width:.1f} px wide at {cell_px:g} px, over {max_px:g}")

    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
