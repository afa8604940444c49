#!/usr/bin/env python3
"""Draws VelaStartMenu2.svg, the start menu's artwork, into this folder.

The menu finds its edition labels by their opening tags, so each one must stay exactly
'<g id="<Name>Edition">' and no other id may end in "Edition". The output is ASCII only.
Run it again after changing the drawing and commit the SVG it writes.
"""

import math
import os
import random

WIDTH, HEIGHT = 1280, 768

# A small stroke alphabet on a cap height of 10 units: each glyph is a list of polylines
# and an advance width.
GLYPHS = {
    "A": (6, [[(0, 10), (3, 0), (6, 10)], [(1.1, 6.6), (4.9, 6.6)]]),
    "C": (5, [[(5, 1.3), (3.8, 0), (1.4, 0), (0, 1.4), (0, 8.6), (1.4, 10), (3.8, 10), (5, 8.7)]]),
    "D": (5, [[(0, 0), (0, 10), (2.8, 10), (5, 7.8), (5, 2.2), (2.8, 0), (0, 0)]]),
    "E": (4.6, [[(4.6, 0), (0, 0), (0, 10), (4.6, 10)], [(0, 5), (3.8, 5)]]),
    "F": (4.6, [[(4.6, 0), (0, 0), (0, 10)], [(0, 5), (3.8, 5)]]),
    "H": (5, [[(0, 0), (0, 10)], [(5, 0), (5, 10)], [(0, 5), (5, 5)]]),
    "I": (0, [[(0, 0), (0, 10)]]),
    "K": (5, [[(0, 0), (0, 10)], [(5, 0), (0, 6)], [(1.8, 4), (5, 10)]]),
    "L": (4.6, [[(0, 0), (0, 10), (4.6, 10)]]),
    "M": (6.4, [[(0, 10), (0, 0), (3.2, 6.5), (6.4, 0), (6.4, 10)]]),
    "N": (5, [[(0, 10), (0, 0), (5, 10), (5, 0)]]),
    "O": (5.4, [[(1.5, 0), (3.9, 0), (5.4, 1.5), (5.4, 8.5), (3.9, 10), (1.5, 10), (0, 8.5),
                 (0, 1.5), (1.5, 0)]]),
    "P": (5, [[(0, 10), (0, 0), (3.8, 0), (5, 1.2), (5, 3.8), (3.8, 5), (0, 5)]]),
    "R": (5, [[(0, 10), (0, 0), (3.8, 0), (5, 1.2), (5, 3.8), (3.8, 5), (0, 5)], [(2.8, 5), (5, 10)]]),
    "S": (5, [[(5, 1.2), (3.8, 0), (1.2, 0), (0, 1.2), (0, 3.8), (1.2, 5), (3.8, 5), (5, 6.2),
               (5, 8.8), (3.8, 10), (1.2, 10), (0, 8.8)]]),
    "T": (5.6, [[(0, 0), (5.6, 0)], [(2.8, 0), (2.8, 10)]]),
    "U": (5, [[(0, 0), (0, 8.5), (1.5, 10), (3.5, 10), (5, 8.5), (5, 0)]]),
    "-": (3, [[(0.2, 5.6), (2.8, 5.6)]]),
    " ": (2.4, []),
}
LETTER_GAP = 2.0


def lettering(text, x, y, cap, sx=None):
    """Path data of text in the stroke alphabet, top left at (x, y), cap height cap."""
    sy = cap / 10.0
    sx = sy if sx is None else sx
    parts = []
    for ch in text:
        advance, lines = GLYPHS[ch]
        for line in lines:
            pts = [f"{x + px * sx:.2f},{y + py * sy:.2f}" for px, py in line]
            parts.append("M" + " L".join(pts))
        x += (advance + LETTER_GAP) * sx
    return " ".join(parts), x - LETTER_GAP * sx


def defs():
    return """  <defs>
    <linearGradient id="backgroundGradient" x1="0" y1="0" x2="0" y2="768" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#19254A"/>
      <stop offset="0.5212" stop-color="#045E98"/>
      <stop offset="1" stop-color="#142E85"/>
    </linearGradient>
    <linearGradient id="waveGradient" x1="0" y1="0" x2="1280" y2="0" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#FFFFFF" stop-opacity="0"/>
      <stop offset="0.45" stop-color="#9FE3FF" stop-opacity="0.35"/>
      <stop offset="1" stop-color="#FFFFFF" stop-opacity="0.05"/>
    </linearGradient>
    <linearGradient id="waveLineGradient" x1="0" y1="0" x2="1280" y2="0" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#FFFFFF" stop-opacity="0"/>
      <stop offset="0.5" stop-color="#D6F4FF" stop-opacity="0.75"/>
      <stop offset="1" stop-color="#FFFFFF" stop-opacity="0.1"/>
    </linearGradient>
    <radialGradient id="centerGlow" cx="700" cy="470" r="520" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#7FD4FF" stop-opacity="0.45"/>
      <stop offset="0.35" stop-color="#2A8FD0" stop-opacity="0.22"/>
      <stop offset="1" stop-color="#045E98" stop-opacity="0"/>
    </radialGradient>
    <radialGradient id="sparkGlow" cx="0.5" cy="0.5" r="0.5" fx="0.5" fy="0.5" gradientUnits="objectBoundingBox">
      <stop offset="0" stop-color="#FFFFFF" stop-opacity="0.85"/>
      <stop offset="0.12" stop-color="#C8F0FF" stop-opacity="0.4"/>
      <stop offset="0.5" stop-color="#C8F0FF" stop-opacity="0.1"/>
      <stop offset="1" stop-color="#C8F0FF" stop-opacity="0"/>
    </radialGradient>
    <linearGradient id="tileGradient" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#FFFFFF" stop-opacity="0.22"/>
      <stop offset="1" stop-color="#FFFFFF" stop-opacity="0.02"/>
    </linearGradient>
  </defs>
"""


def wave(y0, amp, phase, freq, thickness):
    """A closed band following a sine-like curve across the full width."""
    top, bottom = [], []
    steps = 32
    for i in range(steps + 1):
        x = WIDTH * i / steps
        t = x / WIDTH * math.pi * 2 * freq + phase
        y = y0 + amp * math.sin(t) + amp * 0.35 * math.sin(2.3 * t + 1.1)
        top.append((x, y))
        bottom.append((x, y + thickness * (0.55 + 0.45 * math.sin(t * 0.7 + phase))))
    pts = top + bottom[::-1]
    return "M" + " L".join(f"{x:.1f},{y:.1f}" for x, y in pts) + " Z", top


def curve_group():
    out = ['  <g id="curve">']
    bands = [
        (520, 60, 0.4, 1.0, 90, 0.35),
        (560, 50, 1.6, 0.8, 70, 0.28),
        (600, 40, 2.8, 1.2, 60, 0.22),
        (470, 70, 4.0, 0.6, 40, 0.18),
    ]
    for y0, amp, phase, freq, thick, op in bands:
        d, top = wave(y0, amp, phase, freq, thick)
        out.append(f'    <path d="{d}" fill="url(#waveGradient)" opacity="{op}"/>')
        line = "M" + " L".join(f"{x:.1f},{y:.1f}" for x, y in top)
        out.append(f'    <path d="{line}" fill="none" stroke="url(#waveLineGradient)" '
                   f'stroke-width="1.5" opacity="{min(1.0, op * 2.4):.2f}"/>')
    out.append("  </g>")
    return out


def square_group():
    # Screens in a loose wall at the right, fading out towards the edges.
    rng = random.Random(7)
    out = ['  <g id="square">']
    size, gap = 34, 8
    for row in range(8):
        for col in range(9):
            x = 880 + col * (size + gap) - row * 6
            y = 250 + row * (size + gap)
            dist = math.hypot(col - 4.5, row - 3.5) / 5.5
            if dist > 1 or rng.random() < 0.35:
                continue
            op = (1 - dist) * (0.35 + 0.65 * rng.random())
            out.append(f'    <rect x="{x}" y="{y}" width="{size}" height="{size}" rx="3" '
                       f'fill="url(#tileGradient)" stroke="#BDEBFF" stroke-width="1" '
                       f'stroke-opacity="{op * 0.6:.2f}" opacity="{op:.2f}"/>')
    out.append("  </g>")
    return out


def lights():
    out = ['  <g id="centerlight">',
           '    <rect x="0" y="0" width="1280" height="768" fill="url(#centerGlow)"/>',
           '    <ellipse cx="700" cy="560" rx="560" ry="36" fill="#BFEFFF" opacity="0.08"/>',
           "  </g>",
           '  <g id="smalllight">']
    for cx, cy, r in [(318, 548, 40), (640, 507, 56), (905, 590, 34), (1130, 520, 46),
                      (480, 640, 24), (1010, 300, 30)]:
        out.append(f'    <circle cx="{cx}" cy="{cy}" r="{r}" fill="url(#sparkGlow)"/>')
    out.append("  </g>")
    return out


def maker_logo():
    # A compass star in a ring, and the maker's name beside it.
    cx, cy, r = 1120, 58, 20
    star = []
    for i in range(8):
        a = math.pi / 4 * i - math.pi / 2
        rr = r * 0.82 if i % 2 == 0 else r * 0.3
        star.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    star_d = "M" + " L".join(f"{x:.2f},{y:.2f}" for x, y in star) + " Z"
    name, _ = lettering("KITO", 1152, 48, 20, sx=2.1)
    return ['  <g id="makerLogo">',
            f'    <circle cx="{cx}" cy="{cy}" r="{r + 4}" fill="none" stroke="#FFFFFF" stroke-width="2.5"/>',
            f'    <path d="{star_d}" fill="#FFFFFF"/>',
            f'    <path d="{name}" fill="none" stroke="#FFFFFF" stroke-width="3.2" '
            'stroke-linecap="square" stroke-linejoin="miter"/>',
            "  </g>"]


def product_logo():
    # "Vela" in round geometric strokes, with a sail rising from the V.
    base, xh, cap = 192, 50, 78
    top = base - cap
    sw = 12
    v = f"M{52},{top} L{77},{base} L{102},{top}"
    er = xh / 2 - 1
    ecx, ecy = 136, base - er
    e = (f"M{ecx - er},{ecy} L{ecx + er},{ecy} "
         f"A{er},{er} 0 1 0 {ecx + er * math.cos(0.75):.2f},{ecy + er * math.sin(0.75):.2f}")
    lx = 176
    ell = f"M{lx},{top} L{lx},{base}"
    ar = er
    acx, acy = 200 + ar - 2, ecy
    a_bowl = (f"M{acx + ar},{acy} A{ar},{ar} 0 1 0 {acx - ar},{acy} "
              f"A{ar},{ar} 0 1 0 {acx + ar},{acy}")
    a_stem = f"M{acx + ar},{base - 2 * er} L{acx + ar},{base}"
    sail = f"M108,{top - 4} L126,80 Q150,94 162,{top - 4} Q134,{top - 12} 108,{top - 4} Z"
    return ['  <g id="productLogo">',
            f'    <path d="{sail}" fill="#FFFFFF" opacity="0.9"/>',
            f'    <path d="{v} {e} {ell} {a_bowl} {a_stem}" fill="none" stroke="#FFFFFF" '
            f'stroke-width="{sw}" stroke-linecap="round" stroke-linejoin="round"/>',
            "  </g>"]


def edition(gid, text):
    d, _ = lettering(text, 42, 223, 13, sx=1.05)
    return [f'  <g id="{gid}">',
            f'    <path d="{d}" fill="none" stroke="#FFFFFF" stroke-width="1.6" '
            'stroke-linecap="round" stroke-linejoin="round"/>',
            "  </g>"]


def main():
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="1280px" height="768px" '
           'viewBox="0 0 1280 768">']
    out.append(defs().rstrip("\n"))
    out += ['  <g id="background">',
            '    <rect x="0" y="0" width="1280" height="768" fill="url(#backgroundGradient)"/>',
            "  </g>"]
    out += curve_group()
    out += square_group()
    out += lights()
    out += maker_logo()
    out += product_logo()
    out += edition("StandardEdition", "STANDARD EDITION")
    out += edition("MultiChannelEdition", "MULTI-CHANNEL EDITION")
    out += edition("ProfessionalEdition", "PROFESSIONAL EDITION")
    out.append("</svg>")
    text = "\n".join(out) + "\n"
    text.encode("ascii")
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "VelaStartMenu2.svg"), "w", encoding="ascii") as f:
        f.write(text)


if __name__ == "__main__":
    main()
