#!/usr/bin/python3
"""Draw the setup dialog's artwork into src/dialog/res/.

    /usr/bin/python3 tools/art/make_art.py [--preview PNG]

Writes Banner.bmp (495x60, 24 bpp), Rule.bmp (495x2, 24 bpp) and
Quillbrook.ico (16x16 and 32x32, each in 16 and 256 colours). The files are
written by hand rather than through PIL's encoders so that the headers are
exactly the plain ones the resource compiler and old Windows versions expect,
and so that a rerun produces the same bytes. Every file is read back and
checked before the script reports it.

Needs Debian's python3-pil and fonts-dejavu-core. Run it from anywhere; paths
are relative to the repository. --preview also renders the banner and the
enlarged icons on a dialog-grey canvas for a quick look.
"""

import argparse
import io
import math
import os
import struct
import sys

from PIL import IcoImagePlugin, Image, ImageDraw, ImageFont

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT_DIR = os.path.join(ROOT, "src", "dialog", "res")
FONT_DIR = "/usr/share/fonts/truetype/dejavu"

BANNER_SIZE = (495, 60)
RULE_SIZE = (495, 2)
DIALOG_GREY = (212, 208, 200)

# Palette shared by the banner and the icon.
NAVY = (14, 42, 78)
DEEP_TEAL = (18, 86, 104)
TEAL = (32, 128, 142)
SKY = (150, 214, 224)
PAPER = (255, 255, 255)
MIST = (190, 214, 222)

# The sixteen colours of the standard Windows palette, in index order.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# Colour schemes for the emblem. The 16-colour icons get colours that are
# already in VGA16 so that quantising them does not shift the hues.
FULL_SCHEME = {
    "tile_top": TEAL, "tile_bottom": NAVY, "feather": PAPER,
    "shade": MIST, "shaft": DEEP_TEAL, "brook": SKY,
}
VGA_SCHEME = {
    "tile_top": (0, 128, 128), "tile_bottom": (0, 128, 128),
    "feather": (255, 255, 255), "shade": (192, 192, 192),
    "shaft": (128, 128, 128), "brook": (0, 255, 255),
}

SUPERSAMPLE = 8


# --------------------------------------------------------------- geometry

def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(int(round(lerp(a, b, t))) for a, b in zip(c1, c2))


def bezier(p0, p1, p2, t):
    """Point on a quadratic Bezier curve."""
    x = (1 - t) ** 2 * p0[0] + 2 * (1 - t) * t * p1[0] + t * t * p2[0]
    y = (1 - t) ** 2 * p0[1] + 2 * (1 - t) * t * p1[1] + t * t * p2[1]
    return x, y


def bezier_normal(p0, p1, p2, t):
    """Unit normal (pointing to the right of travel) of the curve at t."""
    dx = 2 * (1 - t) * (p1[0] - p0[0]) + 2 * t * (p2[0] - p1[0])
    dy = 2 * (1 - t) * (p1[1] - p0[1]) + 2 * t * (p2[1] - p1[1])
    n = math.hypot(dx, dy)
    return -dy / n, dx / n


# ----------------------------------------------------------------- emblem
# The emblem is a quill on a rounded tile whose nib draws a flowing line, the
# brook. All coordinates are fractions of the tile's side.

QUILL_NIB = (0.20, 0.80)
QUILL_BEND = (0.46, 0.40)
QUILL_TIP = (0.84, 0.15)
VANE_START = 0.24


def vane_outline(detail):
    """Polygon of the feather's vane around the quill's axis."""
    left, right = [], []
    steps = 48
    for i in range(steps + 1):
        u = i / steps
        t = lerp(VANE_START, 1.0, u)
        x, y = bezier(QUILL_NIB, QUILL_BEND, QUILL_TIP, t)
        nx, ny = bezier_normal(QUILL_NIB, QUILL_BEND, QUILL_TIP, t)
        swell = math.sin(math.pi * u ** 0.85) ** 0.9
        wide = 0.19 * swell
        narrow = 0.10 * swell
        if detail and 0.50 < u < 0.60:
            # A single split in the barbs reads as "feather" at larger sizes.
            wide *= 0.72 + 2.8 * abs(u - 0.55)
        right.append((x + nx * wide, y + ny * wide))
        left.append((x - nx * narrow, y - ny * narrow))
    return right + left[::-1]


def shade_outline():
    """The narrow side of the vane, drawn a shade darker for some depth."""
    pts = []
    steps = 40
    for i in range(steps + 1):
        u = i / steps
        t = lerp(VANE_START, 1.0, u)
        x, y = bezier(QUILL_NIB, QUILL_BEND, QUILL_TIP, t)
        nx, ny = bezier_normal(QUILL_NIB, QUILL_BEND, QUILL_TIP, t)
        narrow = 0.10 * math.sin(math.pi * u ** 0.85) ** 0.9
        pts.append((x - nx * narrow, y - ny * narrow))
    for i in range(steps, -1, -1):
        t = lerp(VANE_START, 1.0, i / steps)
        pts.append(bezier(QUILL_NIB, QUILL_BEND, QUILL_TIP, t))
    return pts


def brook_points():
    """The flowing line the nib leaves behind, running to the right."""
    pts = []
    steps = 60
    for i in range(steps + 1):
        s = i / steps
        x = lerp(QUILL_NIB[0], 0.88, s)
        y = QUILL_NIB[1] + 0.045 * math.sin(s * 2.2 * math.pi) * (1 - 0.3 * s)
        pts.append((x, y))
    return pts


def polyline(draw, pts, scale, width, fill):
    """Stroke a polyline with round joins and caps."""
    sp = [(x * scale, y * scale) for x, y in pts]
    draw.line(sp, fill=fill, width=int(round(width * scale)), joint="curve")
    r = width * scale / 2
    for x, y in (sp[0], sp[-1]):
        draw.ellipse((x - r, y - r, x + r, y + r), fill=fill)


def draw_tile(img, top, bottom):
    """Fill img (square, RGBA) with a rounded square shaded top to bottom."""
    size = img.size[0]
    grad = Image.new("RGBA", img.size)
    gd = ImageDraw.Draw(grad)
    for y in range(size):
        gd.line((0, y, size, y), fill=mix(top, bottom, y / (size - 1)) + (255,))
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, size - 1, size - 1),
                                           radius=0.2 * size, fill=255)
    img.paste(grad, (0, 0), mask)


def render_tile(px, top, bottom):
    img = Image.new("RGBA", (px * SUPERSAMPLE,) * 2, (0, 0, 0, 0))
    draw_tile(img, top, bottom)
    return img.resize((px, px), Image.LANCZOS)


def render_emblem(px, scheme):
    """Render the emblem as a px x px RGBA image, supersampled for smooth edges."""
    detail = px >= 32
    scale = px * SUPERSAMPLE
    img = Image.new("RGBA", (scale, scale), (0, 0, 0, 0))
    draw_tile(img, scheme["tile_top"], scheme["tile_bottom"])
    d = ImageDraw.Draw(img)

    polyline(d, brook_points(), scale, 0.075, scheme["brook"] + (255,))
    vane = [(x * scale, y * scale) for x, y in vane_outline(detail)]
    d.polygon(vane, fill=scheme["feather"] + (255,))
    if detail:
        shade = [(x * scale, y * scale) for x, y in shade_outline()]
        d.polygon(shade, fill=scheme["shade"] + (255,))
    # The bare quill below the vane, then the shaft through most of the vane.
    shaft = [bezier(QUILL_NIB, QUILL_BEND, QUILL_TIP, i / 40 * 0.9) for i in range(41)]
    polyline(d, shaft[:12], scale, 0.06, scheme["feather"] + (255,))
    polyline(d, shaft[9:], scale, 0.035, scheme["shaft"] + (255,))
    return img.resize((px, px), Image.LANCZOS)


# ----------------------------------------------------------------- banner

def font(name, size):
    return ImageFont.truetype(os.path.join(FONT_DIR, name), size)


def banner_background(size):
    """Deep navy on the left easing into teal; calm towards the right."""
    w, h = size
    img = Image.new("RGB", size)
    px = img.load()
    for x in range(w):
        t = x / (w - 1)
        t = t * t * (3 - 2 * t)
        base = mix(NAVY, DEEP_TEAL, t)
        for y in range(h):
            # A slight lift towards the top edge keeps the band from looking flat.
            px[x, y] = mix(base, mix(base, TEAL, 0.35), 1 - y / (h - 1))
    return img


def draw_spaced(draw, xy, text, fnt, fill, spacing):
    """Draw text with extra tracking between letters."""
    x, y = xy
    for ch in text:
        draw.text((x, y), ch, font=fnt, fill=fill)
        x += draw.textlength(ch, font=fnt) + spacing


def spaced_width(draw, text, fnt, spacing):
    return sum(draw.textlength(ch, font=fnt) for ch in text) + spacing * (len(text) - 1)


def make_banner():
    w, h = BANNER_SIZE
    img = banner_background(BANNER_SIZE)

    size = 40
    ex, ey = 16, (h - size) // 2
    # A one-pixel lighter rim lifts the tile off the dark band.
    rim = render_tile(size + 2, (70, 150, 164), (40, 84, 120))
    img.paste(rim, (ex - 1, ey - 1), rim)
    emblem = render_emblem(size, FULL_SCHEME)
    img.paste(emblem, (ex, ey), emblem)

    d = ImageDraw.Draw(img)
    title = font("DejaVuSans-Bold.ttf", 23)
    sub = font("DejaVuSans.ttf", 12)
    tx = ex + size + 14
    d.text((tx, 29), "Quillbrook", font=title, fill=PAPER, anchor="ls")
    d.text((tx + 1, 46), "Price list setup", font=sub, fill=SKY, anchor="ls")

    maker = font("DejaVuSans.ttf", 9)
    mw = spaced_width(d, "MARLOWEN", maker, 1.6)
    draw_spaced(d, (w - 16 - mw, 46 - 9), "MARLOWEN", maker, mix(SKY, DEEP_TEAL, 0.35), 1.6)

    # Thin bright line along the bottom edge, fading out to the right.
    for x in range(w):
        t = x / (w - 1)
        img.putpixel((x, h - 1), mix(SKY, DEEP_TEAL, min(1.0, t * 1.15)))
    return img


def make_rule():
    img = Image.new("RGB", RULE_SIZE)
    d = ImageDraw.Draw(img)
    d.line((0, 0, RULE_SIZE[0], 0), fill=(160, 160, 160))
    d.line((0, 1, RULE_SIZE[0], 1), fill=(255, 255, 255))
    return img


# --------------------------------------------------------------- BMP files

def row_stride(width, bpp):
    return ((width * bpp + 31) // 32) * 4


def bmp_bytes(img):
    """24-bit bottom-up BI_RGB bitmap with a BITMAPINFOHEADER and no palette."""
    w, h = img.size
    stride = row_stride(w, 24)
    rgb = img.convert("RGB").tobytes()
    pixels = bytearray()
    for y in range(h - 1, -1, -1):
        row = rgb[y * w * 3:(y + 1) * w * 3]
        for x in range(w):
            r, g, b = row[x * 3:x * 3 + 3]
            pixels += bytes((b, g, r))
        pixels += b"\0" * (stride - w * 3)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(info)
    head = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return head + info + bytes(pixels)


def check_bmp(data, size):
    magic, file_size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    (hsize, w, h, planes, bpp, comp, image_size,
     _, _, used, _) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    assert magic == b"BM" and file_size == len(data), "bad BMP file header"
    assert hsize == 40 and offset == 54, "expected a bare BITMAPINFOHEADER"
    assert (w, h) == size and h > 0, "wrong size or not bottom-up"
    assert planes == 1 and bpp == 24 and comp == 0 and used == 0
    assert image_size == row_stride(w, 24) * h == len(data) - offset


# --------------------------------------------------------------- ICO files

def nearest(colour, palette):
    r, g, b = colour
    best, best_d = 0, None
    for i, (pr, pg, pb) in enumerate(palette):
        # Weighted towards green as the eye is; plenty for picking among 16.
        dist = 2 * (r - pr) ** 2 + 4 * (g - pg) ** 2 + 3 * (b - pb) ** 2
        if best_d is None or dist < best_d:
            best, best_d = i, dist
    return best


def opaque_mask(img):
    """True where a pixel is drawn; the AND mask is the inverse of this."""
    return [a >= 128 for a in img.getchannel("A").getdata()]


def index_vga16(img):
    rgb = list(img.convert("RGB").getdata())
    drawn = opaque_mask(img)
    return [nearest(c, VGA16) if on else 0 for c, on in zip(rgb, drawn)], VGA16


def index_adaptive(img):
    """Up to 255 colours picked from the image, with index 0 kept black.

    Transparent pixels must be black in the XOR bitmap, so index 0 is reserved
    for them and the image's own colours follow it.
    """
    drawn = opaque_mask(img)
    rgb = img.convert("RGB")
    quant = rgb.quantize(colors=255, method=Image.Quantize.MEDIANCUT,
                         dither=Image.Dither.NONE)
    flat = quant.getpalette()[:255 * 3]
    palette = [(0, 0, 0)] + [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]
    palette += [(0, 0, 0)] * (256 - len(palette))
    idx = [i + 1 if on else 0 for i, on in zip(quant.getdata(), drawn)]
    return idx, palette


def pack_rows(values, width, height, bpp):
    """Pack bottom-up rows of indices (or mask bits) padded to four bytes."""
    stride = row_stride(width, bpp)
    per_byte = 8 // bpp
    out = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray(stride)
        for x in range(width):
            v = values[y * width + x]
            shift = 8 - bpp * (x % per_byte + 1)
            row[x // per_byte] |= v << shift
        out += row
    return bytes(out)


def icon_image(img, bpp):
    """One icon entry: BITMAPINFOHEADER, palette, XOR bitmap, AND mask."""
    w, h = img.size
    idx, palette = index_vga16(img) if bpp == 4 else index_adaptive(img)
    assert len(palette) == 1 << bpp
    xor = pack_rows(idx, w, h, bpp)
    and_mask = pack_rows([0 if on else 1 for on in opaque_mask(img)], w, h, 1)
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bpp, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    quads = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + quads + xor + and_mask


def ico_bytes(entries):
    """entries: list of (RGBA image, bpp) in the order they go in the file."""
    blobs = [icon_image(img, bpp) for img, bpp in entries]
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for (img, bpp), blob in zip(entries, blobs):
        w, h = img.size
        colours = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", w, h, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    return bytes(out)


ICON_LAYOUT = [(16, 4), (16, 8), (32, 4), (32, 8)]


def check_ico(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert reserved == 0 and kind == 1 and count == len(ICON_LAYOUT)
    end = 6 + 16 * count
    for n, (size, bpp) in enumerate(ICON_LAYOUT):
        w, h, colours, res, planes, bits, length, offset = \
            struct.unpack_from("<BBBBHHII", data, 6 + 16 * n)
        assert (w, h, planes, bits, res) == (size, size, 1, bpp, 0), f"entry {n}"
        assert colours == (16 if bpp == 4 else 0), f"entry {n} colour count"
        assert offset == end, f"entry {n} is not packed after the previous one"
        (hsize, bw, bh, bplanes, bbits, comp,
         image_size) = struct.unpack_from("<IiiHHII", data, offset)
        assert data[offset:offset + 8] != b"\x89PNG\r\n\x1a\n"
        assert (hsize, bw, bh, bplanes, bbits, comp) == (40, size, 2 * size, 1, bpp, 0)
        masks = row_stride(size, bpp) * size + row_stride(size, 1) * size
        assert image_size == masks
        assert length == 40 + 4 * (1 << bpp) + masks, f"entry {n} length"
        end = offset + length
    assert end == len(data), "trailing bytes after the last image"


# At 16x16 a scaled-down drawing turns to mush, so the small icon is drawn
# by hand after the same design: quill, light shaft, the brook below it.
#   . clear   t tile   W feather   d shaft   a feather edge   b brook
ICON16 = """
..tttttttttttt..
.tttttttttttttt.
tttttttttttttWtt
ttttttttttttWWat
tttttttttttWdWWt
ttttttttttWdWWWt
tttttttttWdWWWWt
ttttttttWdWWWWat
tttttttWdWWWWatt
ttttttWdWWWatttt
tttttWdWWatttttt
ttttWdWatttttttt
tttWWttttbbbtttt
ttWtbbttbtttbbtt
.ttttbbbttttttt.
..tttttttttttt..
""".split()

ICON16_COLOURS = {
    4: {"W": (255, 255, 255), "d": (192, 192, 192), "b": (0, 255, 255)},
    8: {"W": PAPER, "d": (150, 190, 205), "b": SKY},
}


def draw_icon16(bpp):
    scheme = VGA_SCHEME if bpp == 4 else FULL_SCHEME
    colours = ICON16_COLOURS[bpp]
    img = Image.new("RGBA", (16, 16), (0, 0, 0, 0))
    for y, row in enumerate(ICON16):
        assert len(row) == 16, f"row {y} of the 16x16 icon is {len(row)} wide"
        tile = mix(scheme["tile_top"], scheme["tile_bottom"], y / 15)
        for x, key in enumerate(row):
            if key == ".":
                continue
            if key == "t":
                colour = tile
            elif key == "a":
                # Half-way between paper and tile softens the steps; the
                # 16-colour icon has no such shade and keeps the tile.
                colour = tile if bpp == 4 else mix(tile, colours["W"], 0.45)
            else:
                colour = colours[key]
            img.putpixel((x, y), colour + (255,))
    return img


def make_icons():
    """The four icon images in file order."""
    entries = []
    for size, bpp in ICON_LAYOUT:
        if size == 16:
            entries.append((draw_icon16(bpp), bpp))
        else:
            scheme = VGA_SCHEME if bpp == 4 else FULL_SCHEME
            entries.append((render_emblem(size, scheme), bpp))
    return entries


# ------------------------------------------------------------------- main

def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    with open(path, "rb") as f:
        assert f.read() == data, f"{path} did not read back"
    print(f"wrote {os.path.relpath(path, ROOT)} ({len(data)} bytes)")


def decode_icons(data):
    """The icon's images as PIL reads them, in file order.

    PIL sorts the entries by size and depth, so they are matched back to the
    directory by offset.
    """
    ico = IcoImagePlugin.IcoFile(io.BytesIO(data))
    offsets = [struct.unpack_from("<I", data, 6 + 16 * n + 12)[0]
               for n in range(len(ICON_LAYOUT))]
    images = [None] * len(offsets)
    for i, entry in enumerate(ico.entry):
        images[offsets.index(entry["offset"])] = ico.frame(i).convert("RGBA")
    return images


def check_icon_pixels(data, entries):
    """Compare what PIL decodes with what was drawn.

    Transparency must survive exactly. The 256-colour images should be all but
    identical; the 16-colour ones only close on average, as the drawing's
    soft edges have to snap to the fixed palette.
    """
    for n, (got, (want, bpp)) in enumerate(zip(decode_icons(data), entries)):
        drawn = opaque_mask(want)
        assert [a >= 128 for a in got.getchannel("A").getdata()] == drawn, \
            f"entry {n}: transparency differs"
        errors = [max(abs(p - q) for p, q in zip(w[:3], g[:3]))
                  for w, g, on in zip(want.getdata(), got.getdata(), drawn) if on]
        if bpp == 8:
            assert max(errors) <= 16, f"entry {n}: colours drift by {max(errors)}"
        else:
            mean = sum(errors) / len(errors)
            assert mean <= 12, f"entry {n}: colours drift by {mean:.1f} on average"


def preview(path, banner, rule, ico):
    """The banner as the dialog shows it, with the icons enlarged below."""
    canvas = Image.new("RGB", (495, 220), DIALOG_GREY)
    canvas.paste(banner, (0, 0))
    d = ImageDraw.Draw(canvas)
    ui = font("DejaVuSans.ttf", 11)
    d.text((11, 78), "The pricelist will be installed in", font=ui, fill=(0, 0, 0))
    d.text((18, 100), r"C:\Program Files\Marlowen\Prices", font=ui, fill=(0, 0, 0))
    canvas.paste(rule, (0, 184))
    x = 250
    for (size, _), icon in zip(ICON_LAYOUT, decode_icons(ico)):
        big = icon.resize((size * (4 if size == 16 else 2),) * 2, Image.NEAREST)
        canvas.paste(big, (x, 84 + (64 - big.size[1]) // 2), big)
        canvas.paste(icon, (x + (64 - size) // 2, 152), icon)
        x += 60
    canvas.save(path)
    print(f"preview in {path}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preview", metavar="PNG", help="also render a preview image")
    args = parser.parse_args(argv)

    os.makedirs(OUT_DIR, exist_ok=True)
    banner, rule = make_banner(), make_rule()
    icons = make_icons()
    outputs = {
        "Banner.bmp": bmp_bytes(banner),
        "Rule.bmp": bmp_bytes(rule),
        "Quillbrook.ico": ico_bytes(icons),
    }
    check_bmp(outputs["Banner.bmp"], BANNER_SIZE)
    check_bmp(outputs["Rule.bmp"], RULE_SIZE)
    check_ico(outputs["Quillbrook.ico"])
    check_icon_pixels(outputs["Quillbrook.ico"], icons)
    # PIL's BMP decoder is independent of the writer above, so a round trip
    # catches swapped channels, rows written top-down or bad padding.
    for name, img in (("Banner.bmp", banner), ("Rule.bmp", rule)):
        back = Image.open(io.BytesIO(outputs[name])).convert("RGB")
        assert back.tobytes() == img.tobytes(), f"{name} does not decode to the drawing"
    for name, data in outputs.items():
        write(os.path.join(OUT_DIR, name), data)
    if args.preview:
        preview(args.preview, banner, rule, outputs["Quillbrook.ico"])


if __name__ == "__main__":
    main(sys.argv[1:])
