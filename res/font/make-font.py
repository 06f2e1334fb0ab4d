#!/usr/bin/python3
"""Derives the label font LCDN.TTF (face "LcdD") from a 14-segment LCD font.

The status label is 229 px wide and draws the font at a 24 px cell height.
The source glyphs fill the whole em and are wide, so the derived font gets a
taller cell (the glyphs come out about 19 px high, leaving room in the 27 px
panel) and is condensed horizontally until the longest English status text
fits. The source is licensed under the SIL OFL 1.1 with a Reserved Font Name,
so every name in the derived font is new and the licence ships beside it.

usage: make-font.py SOURCE.ttf OUT.ttf OUT-LICENSE.txt
"""
import sys

from fontTools.pens.recordingPen import DecomposingRecordingPen
from fontTools.pens.transformPen import TransformPen
from fontTools.pens.ttGlyphPen import TTGlyphPen
from fontTools.ttLib import TTFont, newTable

FAMILY = "LcdD"
X_SCALE = 0.66
# The source's space is narrower than the gap between two LCD cells, which
# runs words together; a space here is most of a cell wide.
SPACE_ADVANCE = 400
DOT_SIDE_BEARING = 50
# Cell = ascent + descent, in font units (the em is 1000).
ASCENT = 1100
DESCENT = 150
VERSION = "Version 1.0"


def condense(font, scale):
    glyf = font["glyf"]
    hmtx = font["hmtx"]
    glyph_set = font.getGlyphSet()
    new_glyphs = {}
    for name in font.getGlyphOrder():
        # Decomposed first, so that a component is not scaled twice.
        recording = DecomposingRecordingPen(glyph_set)
        glyph_set[name].draw(recording)
        pen = TTGlyphPen(None)
        recording.replay(TransformPen(pen, (scale, 0, 0, 1, 0, 0)))
        new_glyphs[name] = pen.glyph()
    for name, glyph in new_glyphs.items():
        glyf[name] = glyph
        glyph.recalcBounds(glyf)
        advance, _ = hmtx[name]
        hmtx[name] = (round(advance * scale), getattr(glyph, "xMin", 0))
    # Hinting written for the wide outlines would be wrong for the narrow
    # ones (the new glyphs carry none); the label is drawn antialiased.
    for code in (0x20, 0xA0):
        glyph = font.getBestCmap().get(code)
        if glyph:
            hmtx[glyph] = (SPACE_ADVANCE, 0)
    for tag in ("fpgm", "prep", "cvt ", "hdmx", "LTSH", "VDMX"):
        if tag in font:
            del font[tag]


def give_dot_a_cell(font, scale):
    """The source's full stop has no width and hangs in the gap before it, as
    on a real display; condensed, that gap is too narrow to show it, and an
    address would read as one long number. Here the dot is square again and
    gets a narrow cell of its own."""
    name = font.getBestCmap().get(ord("."))
    if not name:
        return
    glyf = font["glyf"]
    glyph = glyf[name]
    glyph.recalcBounds(glyf)
    if not hasattr(glyph, "xMin"):
        return
    recording = DecomposingRecordingPen(font.getGlyphSet())
    font.getGlyphSet()[name].draw(recording)
    pen = TTGlyphPen(None)
    unscale = 1 / scale
    centre = (glyph.xMin + glyph.xMax) / 2
    width = (glyph.xMax - glyph.xMin) * unscale
    recording.replay(TransformPen(pen, (unscale, 0, 0, 1, DOT_SIDE_BEARING + width / 2 - centre * unscale, 0)))
    new = pen.glyph()
    glyf[name] = new
    new.recalcBounds(glyf)
    font["hmtx"][name] = (round(width + 2 * DOT_SIDE_BEARING), new.xMin)


def set_metrics(font):
    os2 = font["OS/2"]
    hhea = font["hhea"]
    os2.usWinAscent, os2.usWinDescent = ASCENT, DESCENT
    os2.sTypoAscender, os2.sTypoDescender, os2.sTypoLineGap = ASCENT, -DESCENT, 0
    hhea.ascent, hhea.descent, hhea.lineGap = ASCENT, -DESCENT, 0
    widths = [w for w, _ in font["hmtx"].metrics.values() if w > 0]
    os2.xAvgCharWidth = round(sum(widths) / len(widths))
    # Installable embedding, as the source allows.
    os2.fsType = 0
    os2.achVendID = "NMBR"
    font["head"].fontRevision = 1.0


def rename(font, source_copyright):
    name = newTable("name")
    name.names = []
    records = {
        0: source_copyright + " Modified Version for Nimbra: renamed and condensed; "
           "see LCDN-LICENSE.txt.",
        1: FAMILY,
        2: "Regular",
        3: "Nimbra: " + FAMILY + " Regular: 1.0",
        4: FAMILY,
        5: VERSION,
        6: FAMILY,
        13: "This Font Software is licensed under the SIL Open Font License, Version 1.1.",
        14: "https://openfontlicense.org",
    }
    for name_id, text in records.items():
        name.setName(text, name_id, 3, 1, 0x409)
        name.setName(text, name_id, 1, 0, 0)
    font["name"] = name


def main():
    source, out_font, out_licence = sys.argv[1:4]
    font = TTFont(source)
    licence = font["name"].getDebugName(13) or ""
    if "SIL Open Font License" not in licence:
        sys.exit(f"{source}: no OFL text in its name table; refusing to derive from it")
    copyright_line = licence.split("\n", 1)[0].rstrip(",")
    source_family = font["name"].getDebugName(4)
    source_version = font["name"].getDebugName(5)

    condense(font, X_SCALE)
    give_dot_a_cell(font, X_SCALE)
    set_metrics(font)
    rename(font, copyright_line + ".")
    if "FFTM" in font:
        del font["FFTM"]
    font.save(out_font)

    with open(out_licence, "w", encoding="utf-8", newline="\r\n") as f:
        f.write(
            f"LCDN.TTF (font family \"{FAMILY}\") is a Modified Version of\n"
            f"\"{source_family}\" ({source_version}), as shipped by Debian's fonts-dseg package.\n\n"
            "Changes:\n"
            f"- glyph outlines and advance widths scaled horizontally to {X_SCALE:.0%};\n"
            f"- ascent and descent enlarged to {ASCENT} and {DESCENT} units, so that the\n"
            "  glyphs sit inside a taller cell;\n"
            f"- the space widened to {SPACE_ADVANCE} units;\n"
            "- the full stop kept at its original width, with an advance width of its own;\n"
            "- hinting instructions removed;\n"
            "- every name in the name table replaced, so that the Reserved Font Name\n"
            "  of the original is not used.\n\n"
            "The copyright notice and licence of the original follow; they apply to\n"
            "this Modified Version as well.\n\n"
        )
        f.write(licence.replace("\r\n", "\n").strip() + "\n")


if __name__ == "__main__":
    main()
