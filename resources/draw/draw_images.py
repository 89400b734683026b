#!/usr/bin/python3
"""Draws the window's three images into the resources folder and the program's icon, at every
size the package installs, into packaging/icons.

    resources/draw/draw_images.py [output-folder]   (both go there when one is given)

scan.png                    the Brevia band seen from the front, transparent background
Kestrane Technologies.png   the maker's wordmark with its mark, transparent background
cargando.gif                a looping spinner: twelve dots on a ring, greys on white
orvane-<N>.png              the icon: the maker's mark alone, N x N for N = 48, 64, 128, 256, 512

Each picture is laid out on a large canvas, drawn at twice that size and scaled down, which
smooths its edges. The window's images are shipped at twice the size the window shows them
(the band in 185 x 90, the wordmark in 200 x 57, the spinner in 100 x 100): sharp on a
high-density screen, and small to decode and keep. The results are reduced to small palettes
so the files stay small. The output is the same on every run.
"""
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dejavu"
SS = 2  # supersampling factor

# Shipped sizes: twice the size shown in the window, in the proportions of the layout canvas.
BAND_SIZE = (370, 180)
LOGO_SIZE = (400, 115)
SPINNER_SIZE = (200, 200)
ICON_SIZES = (48, 64, 128, 256, 512)

NAVY = (31, 42, 68, 255)
ORANGE = (242, 140, 40, 255)
WHITE = (255, 255, 255, 255)


def font(name, size):
    return ImageFont.truetype(os.path.join(FONT_DIR, name), size)


def finish(big, size, colors):
    """Scales a supersampled RGBA drawing down and reduces it to a small palette."""
    img = big.resize(size, Image.LANCZOS)
    return img.quantize(colors=colors, method=Image.Quantize.FASTOCTREE, dither=Image.Dither.NONE)


def draw_band(path):
    w, h = 1754, 853
    img = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)

    def s(*v):
        return [round(x * SS) for x in v]

    strap = (52, 58, 70, 255)
    strap_edge = (40, 45, 55, 255)
    cx, cy = w / 2, h / 2

    # Strap: one band across, rounded at both ends, with a lighter centre stripe.
    d.rounded_rectangle(s(40, cy - 150, w - 40, cy + 150), radius=150 * SS, fill=strap_edge)
    d.rounded_rectangle(s(52, cy - 138, w - 52, cy + 138), radius=138 * SS, fill=strap)
    d.rounded_rectangle(s(90, cy - 26, w - 90, cy + 26), radius=26 * SS, fill=(60, 67, 81, 255))

    # Holes on the right-hand strap, a keeper loop on the left.
    for i in range(6):
        x = 1270 + i * 70
        d.ellipse(s(x - 17, cy - 17, x + 17, cy + 17), fill=(24, 27, 33, 255))
    d.rounded_rectangle(s(236, cy - 166, 318, cy + 166), radius=22 * SS, fill=strap_edge)
    d.rounded_rectangle(s(246, cy - 156, 308, cy + 156), radius=16 * SS, fill=(76, 83, 98, 255))

    # Body: a rim around a dark case, with a side button.
    bw, bh = 640, 540
    d.rounded_rectangle(s(cx + bw / 2 - 10, cy - 70, cx + bw / 2 + 26, cy + 10), radius=12 * SS,
                        fill=(120, 128, 140, 255))
    d.rounded_rectangle(s(cx - bw / 2, cy - bh / 2, cx + bw / 2, cy + bh / 2), radius=180 * SS,
                        fill=(122, 130, 144, 255))
    d.rounded_rectangle(s(cx - bw / 2 + 18, cy - bh / 2 + 18, cx + bw / 2 - 18, cy + bh / 2 - 18),
                        radius=164 * SS, fill=(38, 42, 50, 255))

    # Display with a heart, a pulse trace and a reading.
    dw, dh = 440, 270
    d.rounded_rectangle(s(cx - dw / 2, cy - dh / 2 + 10, cx + dw / 2, cy + dh / 2 + 10),
                        radius=48 * SS, fill=(10, 14, 20, 255))
    red = (232, 72, 77, 255)
    # The classic heart curve, about 64 wide, centred left of the reading.
    hx, hy, k = cx - 128, cy - 26, 2.5
    heart = []
    for i in range(120):
        t = 2 * math.pi * i / 120
        x = 16 * math.sin(t) ** 3
        y = 13 * math.cos(t) - 5 * math.cos(2 * t) - 2 * math.cos(3 * t) - math.cos(4 * t)
        heart.append(tuple(s(hx + k * x, hy - k * y)))
    d.polygon(heart, fill=red)
    d.text(s(cx - 40, cy - 30), "72", font=font("DejaVuSans-Bold.ttf", 96 * SS),
           fill=(240, 244, 248, 255), anchor="lm")
    trace = [(-190, 0), (-90, 0), (-65, -22), (-45, 0), (-20, 0), (0, 48), (22, -62),
             (42, 0), (80, 0), (100, -18), (120, 0), (190, 0)]
    d.line([tuple(s(cx + x, cy + 85 + y)) for x, y in trace], fill=(53, 196, 181, 255),
           width=9 * SS, joint="curve")

    finish(img, BAND_SIZE, 48).save(path, optimize=True)


def draw_logo(path):
    w, h = 5909, 1698
    img = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)

    side = 1400
    mx, my = 180, (h - side) / 2
    draw_mark(d, mx, my, side)

    # The wordmark, both lines fitted to the same width.
    left = mx + side + 260
    width = w - left - 180

    def fitted(name, text, spacing=0.0):
        size = 100
        f = font(name, size * SS)
        measured = d.textlength(text, font=f) / SS + spacing * size * (len(text) - 1)
        size = int(size * width / measured)
        return font(name, size * SS), size

    name_font, name_size = fitted("DejaVuSans-Bold.ttf", "Kestrane")
    tag = "TECHNOLOGIES"
    tag_spacing = 0.32
    tag_font, tag_size = fitted("DejaVuSans.ttf", tag, tag_spacing)

    name_box = d.textbbox((0, 0), "Kestrane", font=name_font, anchor="ls")
    tag_box = d.textbbox((0, 0), tag, font=tag_font, anchor="ls")
    gap = 110 * SS
    block = (name_box[3] - name_box[1]) + gap + (tag_box[3] - tag_box[1])
    top = (h * SS - block) / 2
    name_base = top - name_box[1]
    d.text((left * SS, name_base), "Kestrane", font=name_font, fill=NAVY, anchor="ls")
    tag_base = name_base + name_box[3] + gap - tag_box[1]
    x = left * SS
    for ch in tag:
        d.text((x, tag_base), ch, font=tag_font, fill=ORANGE, anchor="ls")
        x += d.textlength(ch, font=tag_font) + tag_spacing * tag_size * SS

    finish(img, LOGO_SIZE, 32).save(path, optimize=True)


def draw_mark(d, mx, my, side):
    """The maker's mark: a navy disc carrying a K whose upper arm is a rising wing."""
    d.ellipse([round(v * SS) for v in (mx, my, mx + side, my + side)], fill=NAVY)

    def mark(points):
        return [(round((mx + x * side) * SS), round((my + y * side) * SS)) for x, y in points]

    d.polygon(mark([(0.28, 0.22), (0.42, 0.22), (0.42, 0.78), (0.28, 0.78)]), fill=WHITE)
    # The leg starts under the arm, which is drawn over it, so the two join without a seam.
    d.polygon(mark([(0.49, 0.53), (0.61, 0.42), (0.84, 0.78), (0.67, 0.78)]), fill=WHITE)
    d.polygon(mark([(0.42, 0.44), (0.66, 0.22), (0.84, 0.22), (0.42, 0.61)]), fill=ORANGE)


def draw_icons(folder):
    """The mark filling the icon, with a small transparent margin, in full colour: drawn once
    and scaled down to each size."""
    side = 1024
    margin = 16
    img = Image.new("RGBA", (side * SS, side * SS), (0, 0, 0, 0))
    draw_mark(ImageDraw.Draw(img), margin, margin, side - 2 * margin)
    for size in ICON_SIZES:
        img.resize((size, size), Image.LANCZOS).save(
            os.path.join(folder, "orvane-%d.png" % size), optimize=True)


def draw_spinner(path):
    side, frames, dots = 1417, 12, 12
    ring, dot = 470, 88
    c = side / 2
    # Darkest at the head, fading along the tail.
    shades = [int(56 + (226 - 56) * min(age, 8) / 8) for age in range(dots)]

    images = []
    for f in range(frames):
        big = Image.new("L", (side * SS, side * SS), 255)
        d = ImageDraw.Draw(big)
        for i in range(dots):
            age = (f - i) % dots
            r = dot * (1.0 - 0.35 * min(age, 8) / 8)
            a = 2 * math.pi * i / dots  # clockwise from 12 o'clock
            x, y = c + ring * math.sin(a), c - ring * math.cos(a)
            d.ellipse([round(v * SS) for v in (x - r, y - r, x + r, y + r)], fill=shades[age])
        small = big.resize(SPINNER_SIZE, Image.LANCZOS)
        # Sixteen greys are plenty for smooth dot edges and keep every frame's palette alike.
        images.append(small.point(lambda v: min(255, round(v / 17) * 17)).convert("P"))

    images[0].save(path, save_all=True, append_images=images[1:], duration=80, loop=0,
                   optimize=True, disposal=1)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..")
    icon_out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "packaging",
                                                                  "icons")
    draw_band(os.path.join(out, "scan.png"))
    draw_logo(os.path.join(out, "Kestrane Technologies.png"))
    draw_spinner(os.path.join(out, "cargando.gif"))
    draw_icons(icon_out)


if __name__ == "__main__":
    main()
