#!/usr/bin/env python3
"""Paints the launcher's background: a sunset over mountain ranges, a lake and a pine shore.

Usage: makebackground.py OUTPUT.jpg
Writes a 400 by 247 baseline JPEG (three components) through ImageMagick's `convert`.
The scene is deterministic: the same script always paints the same picture.
"""

import math
import random
import subprocess
import sys

WIDTH, HEIGHT = 400, 247
HORIZON = 168  # water line
SUN_X, SUN_Y, SUN_R = 250.0, 112.0, 17.0


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def gradient(stops, t):
    """Colour at t (0..1) along (position, colour) stops."""
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0))
    return stops[-1][1]


SKY = [(0.00, (18, 22, 68)), (0.30, (62, 44, 120)), (0.55, (180, 72, 110)),
       (0.78, (246, 138, 78)), (1.00, (255, 206, 120))]


def sky(x, y):
    colour = gradient(SKY, y / HORIZON)
    d = math.hypot(x - SUN_X, (y - SUN_Y) * 1.3)
    glow = math.exp(-d / 55.0) * 0.85
    colour = mix(colour, (255, 236, 170), glow)
    if d < SUN_R:
        colour = mix((255, 250, 214), colour, (d / SUN_R) ** 6)
    return colour


def ridge(rng, base, amplitude, roughness):
    """Height of a mountain range for every column (midpoint displacement)."""
    size = 512
    heights = [0.0] * (size + 1)
    heights[0], heights[size] = rng.uniform(-1, 1), rng.uniform(-1, 1)
    step, scale = size, 1.0
    while step > 1:
        half = step // 2
        for i in range(half, size, step):
            heights[i] = (heights[i - half] + heights[i + half]) / 2 + rng.uniform(-scale, scale)
        step, scale = half, scale * roughness
    top = max(abs(h) for h in heights) or 1.0
    return [base - amplitude * heights[int(x * size / WIDTH)] / top for x in range(WIDTH)]


def paint():
    rng = random.Random(1906)
    pixels = [[sky(x, y) for x in range(WIDTH)] for y in range(HEIGHT)]

    # Stars in the dark upper sky.
    for _ in range(70):
        x, y = rng.randrange(WIDTH), rng.randrange(int(HORIZON * 0.35))
        pixels[y][x] = mix(pixels[y][x], (255, 255, 240), rng.uniform(0.4, 0.9))

    # Ranges from far to near: each one darker and less hazy than the one behind it.
    ranges = [(122, 22, 0.60, (150, 84, 128), 0.55), (142, 20, 0.56, (92, 50, 100), 0.30),
              (160, 9, 0.50, (46, 28, 66), 0.10)]
    for base, amplitude, roughness, colour, haze in ranges:
        tops = [min(HORIZON - 2, t) for t in ridge(rng, base, amplitude, roughness)]
        for x in range(WIDTH):
            for y in range(max(0, int(tops[x])), HORIZON):
                depth = (y - tops[x]) / max(1.0, HORIZON - tops[x])
                shade = mix(colour, pixels[y][x], haze * (1 - depth * 0.5))
                pixels[y][x] = mix(shade, (255, 170, 110), 0.18 * (1 - depth))

    # The lake mirrors the sky and the ranges, darker and rippled, with a path of sunlight.
    for y in range(HORIZON, HEIGHT):
        depth = (y - HORIZON) / (HEIGHT - HORIZON)
        for x in range(WIDTH):
            ripple = int(2.5 * math.sin(y * 1.7 + x * 0.05) * (0.3 + depth))
            source = pixels[max(0, 2 * HORIZON - y)][min(WIDTH - 1, max(0, x + ripple))]
            colour = mix(source, (20, 24, 60), 0.35 + 0.4 * depth)
            shimmer = math.exp(-abs(x - SUN_X) / (6 + 40 * depth))
            if math.sin(y * 2.3 + x * 0.31) > 0.2:
                colour = mix(colour, (255, 220, 150), shimmer * 0.8)
            pixels[y][x] = colour

    # A pine shore on the left.
    shore = [HEIGHT - 62 + 0.004 * x * x + 3 * math.sin(x / 9.0) for x in range(WIDTH)]
    for x in range(WIDTH):
        for y in range(max(0, int(shore[x])), HEIGHT):
            pixels[y][x] = (12, 12, 26)
    for _ in range(22):
        tx = rng.uniform(-5, 105)
        base = shore[max(0, min(WIDTH - 1, int(tx)))] + 2
        tall = rng.uniform(30, 66) * (1.2 - tx / 160)
        for y in range(int(base - tall), int(base)):
            spread = (y - (base - tall)) / tall * tall * 0.22
            jag = 0.75 + 0.25 * abs(math.sin(y * 0.9))
            for x in range(int(tx - spread * jag), int(tx + spread * jag) + 1):
                if 0 <= x < WIDTH and 0 <= y < HEIGHT:
                    pixels[y][x] = (10, 10, 24)
    return pixels


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    header = b"P6 %d %d 255\n" % (WIDTH, HEIGHT)
    body = bytes(max(0, min(255, round(c))) for row in paint() for p in row for c in p)
    subprocess.run(["convert", "ppm:-", "-strip", "-interlace", "none", "-type", "TrueColor",
                    "-sampling-factor", "2x2", "-quality", "90", "jpeg:" + sys.argv[1]],
                   input=header + body, check=True)


if __name__ == "__main__":
    main()
