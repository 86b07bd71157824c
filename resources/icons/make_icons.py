#!/usr/bin/env python3
"""Writes the eight traffic-light SVGs next to this script.

Two drawings: a 32 px one and a 16 px one whose lamps sit on whole pixels so that the tray icon stays
sharp. Each comes in four states: all lamps dark (MAINICON), red lit (R), yellow lit (Y), green lit (G).
Run it again after changing a colour or a coordinate; the SVGs are committed.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# lit: (highlight, body, rim); dark: (body, rim) -- dimmed versions of the same hue
COLOURS = {
    "R": {"lit": ("#ffd2c8", "#ff3b2a", "#b3170c"), "dark": ("#5a1c17", "#36100d"), "glow": "#ff4a33"},
    "Y": {"lit": ("#fff6c4", "#ffc21a", "#b37f00"), "dark": ("#574512", "#33280a"), "glow": "#ffc933"},
    "G": {"lit": ("#d9ffd6", "#2fe04a", "#0f8a22"), "dark": ("#17491f", "#0c2a11"), "glow": "#3dff5a"},
}
ORDER = ["R", "Y", "G"]  # top to bottom


def defs(lit, prefix):
    out = []
    for key in ORDER:
        c = COLOURS[key]
        if key == lit:
            hi, body, rim = c["lit"]
            out.append(f'<radialGradient id="{prefix}{key}" cx="0.5" cy="0.5" r="0.5" fx="0.38" fy="0.35">'
                       f'<stop offset="0" stop-color="{hi}"/><stop offset="0.45" stop-color="{body}"/>'
                       f'<stop offset="1" stop-color="{rim}"/></radialGradient>')
            out.append(f'<radialGradient id="{prefix}glow" cx="0.5" cy="0.5" r="0.5">'
                       f'<stop offset="0.35" stop-color="{c["glow"]}" stop-opacity="0.75"/>'
                       f'<stop offset="1" stop-color="{c["glow"]}" stop-opacity="0"/></radialGradient>')
        else:
            body, rim = c["dark"]
            out.append(f'<radialGradient id="{prefix}{key}" cx="0.5" cy="0.5" r="0.5" fx="0.4" fy="0.35">'
                       f'<stop offset="0" stop-color="{body}"/><stop offset="1" stop-color="{rim}"/>'
                       f'</radialGradient>')
    out.append(f'<linearGradient id="{prefix}case" x1="0" y1="0" x2="1" y2="0">'
               f'<stop offset="0" stop-color="#4a4f57"/><stop offset="0.5" stop-color="#33373d"/>'
               f'<stop offset="1" stop-color="#1f2226"/></linearGradient>')
    return "".join(out)


def large(lit):
    # 32 x 32: housing 15 wide, lamps of diameter 8 at y 6, 16, 26
    p = "l"
    parts = [f'<defs>{defs(lit, p)}</defs>',
             f'<rect x="8.5" y="0.5" width="15" height="31" rx="4" fill="url(#{p}case)" stroke="#0e0f11"/>',
             '<rect x="9.5" y="1.5" width="13" height="29" rx="3" fill="none" stroke="#ffffff" '
             'stroke-opacity="0.12"/>']
    for key, cy in zip(ORDER, (6, 16, 26)):
        if key == lit:
            parts.append(f'<circle cx="16" cy="{cy}" r="7.5" fill="url(#{p}glow)"/>')
        parts.append(f'<circle cx="16" cy="{cy}" r="4.5" fill="#0a0b0c"/>')
        parts.append(f'<circle cx="16" cy="{cy}" r="3.75" fill="url(#{p}{key})"/>')
    return "".join(parts)


def small(lit):
    # 16 x 16: housing on pixels 3..12, lamps on pixel rows 1-4, 6-9, 11-14 and columns 6-9
    p = "s"
    parts = [f'<defs>{defs(lit, p)}</defs>',
             f'<rect x="3.5" y="0.5" width="9" height="15" rx="2" fill="url(#{p}case)" stroke="#0e0f11"/>']
    for key, cy in zip(ORDER, (3, 8, 13)):
        if key == lit:
            parts.append(f'<circle cx="8" cy="{cy}" r="3.5" fill="url(#{p}glow)"/>')
        parts.append(f'<circle cx="8" cy="{cy}" r="2.2" fill="url(#{p}{key})"/>')
    return "".join(parts)


def write(name, size, body):
    svg = (f'<svg xmlns="http://www.w3.org/2000/svg" version="1.2" baseProfile="tiny" '
           f'width="{size}" height="{size}" viewBox="0 0 {size} {size}">{body}</svg>\n')
    with open(os.path.join(HERE, name), "w") as f:
        f.write(svg)


for suffix, lit in (("", None), ("R", "R"), ("Y", "Y"), ("G", "G")):
    write(f"MAINICON{suffix}.svg", 32, large(lit))
    write(f"MAINICON{suffix}SMALL.svg", 16, small(lit))
