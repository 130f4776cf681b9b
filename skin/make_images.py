#!/usr/bin/python3
"""Draws the launcher skin's pictures in one look: night-blue stone, teal glow, gold trim.

Run from anywhere: writes the PNGs next to this script. The PNGs are committed, so
a build never needs this script; rerun it only when the look changes.
"""
import math
import os
import random

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
GOLD = (222, 184, 92)
TEAL = (0, 190, 210)
NIGHT = (14, 22, 40)
FONT_PATH = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"


def font(size):
    try:
        return ImageFont.truetype(FONT_PATH, size)
    except OSError:
        return ImageFont.load_default()


def save(img, name):
    img.save(os.path.join(HERE, name), optimize=True)


def vertical_gradient(w, h, top, bottom):
    img = Image.new("RGBA", (w, h))
    draw = ImageDraw.Draw(img)
    for y in range(h):
        t = y / max(1, h - 1)
        c = tuple(int(top[i] + (bottom[i] - top[i]) * t) for i in range(3))
        draw.line([(0, y), (w, y)], fill=c + (255,))
    return img


def background():
    w, h = 1094, 516
    img = vertical_gradient(w, h, (24, 40, 72), NIGHT)
    draw = ImageDraw.Draw(img)
    rnd = random.Random(7)
    for _ in range(220):  # stars
        x, y = rnd.randrange(w), rnd.randrange(h // 2)
        v = rnd.randrange(120, 255)
        draw.point((x, y), fill=(v, v, v, 255))
    # Mountains, far then near.
    for layer, (col, base, amp) in enumerate([((30, 48, 80), 300, 70), ((18, 30, 52), 360, 90)]):
        pts = [(0, h)]
        for x in range(0, w + 20, 20):
            y = base - amp * abs(math.sin(x / (140 + 60 * layer) + layer)) - rnd.randrange(12)
            pts.append((x, y))
        pts.append((w, h))
        draw.polygon(pts, fill=col + (255,))
    # Moon glow.
    glow = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    ImageDraw.Draw(glow).ellipse((120, 40, 260, 180), fill=TEAL + (90,))
    glow = glow.filter(ImageFilter.GaussianBlur(30))
    img = Image.alpha_composite(img, glow)
    draw = ImageDraw.Draw(img)
    draw.ellipse((160, 80, 220, 140), fill=(220, 240, 245, 255))
    # Game title.
    draw.text((60, 200), "KESTRAVA", font=font(64), fill=GOLD + (255,))
    draw.text((64, 280), "凯斯特拉瓦", font=font(30), fill=(200, 220, 230, 255))
    # Panel behind the web page and the progress area, gold frame.
    draw.rounded_rectangle((373, 120, 993, 380), radius=10, fill=(8, 14, 28, 230),
                           outline=GOLD + (255,), width=2)
    draw.rounded_rectangle((416, 388, 993, 468), radius=8, fill=(8, 14, 28, 200),
                           outline=(120, 100, 50, 255), width=1)
    # Empty progress trough under the bar control.
    draw.rounded_rectangle((517, 421, 942, 458), radius=6, fill=(4, 8, 16, 255),
                           outline=(60, 80, 100, 255))
    # Outer frame.
    draw.rectangle((0, 0, w - 1, h - 1), outline=GOLD + (255,), width=2)
    save(img.convert("RGB"), "launcher_BJ.png")


STATES = {  # fill, border, glyph colour
    "up": ((34, 56, 90), GOLD, (235, 235, 235)),
    "over": ((40, 110, 140), (255, 220, 130), (255, 255, 255)),
    "down": ((16, 30, 52), (170, 140, 70), (200, 200, 200)),
    "dis": ((60, 60, 66), (110, 110, 110), (140, 140, 140)),
}


def round_button(size, state, glyph):
    fill, border, ink = STATES[state]
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    d.ellipse((1, 1, size - 2, size - 2), fill=fill + (255,), outline=border + (255,), width=2)
    m = size * 0.32
    if glyph == "close":
        d.line((m, m, size - m, size - m), fill=ink + (255,), width=3)
        d.line((m, size - m, size - m, m), fill=ink + (255,), width=3)
    else:
        d.line((m, size / 2, size - m, size / 2), fill=ink + (255,), width=3)
    return img


def plate_button(w, h, state, label, size):
    fill, border, ink = STATES[state]
    img = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    top = tuple(min(255, c + 30) for c in fill)
    grad = vertical_gradient(w, h, top, fill)
    mask = Image.new("L", (w, h), 0)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, w - 1, h - 1), radius=h // 4, fill=255)
    img.paste(grad, (0, 0), mask)
    d.rounded_rectangle((0, 0, w - 1, h - 1), radius=h // 4, outline=border + (255,), width=2)
    if label:
        f = font(size)
        box = d.textbbox((0, 0), label, font=f)
        tw, th = box[2] - box[0], box[3] - box[1]
        d.text(((w - tw) / 2 - box[0], (h - th) / 2 - box[1]), label, font=f, fill=ink + (255,))
    return img


def progress_bar():
    w, h = 425, 37
    img = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    bar = Image.new("RGBA", (w, h))
    d = ImageDraw.Draw(bar)
    for x in range(w):
        t = x / (w - 1)
        c = (int(0 + 40 * t), int(150 + 60 * t), int(200 + 30 * t))
        d.line([(x, 0), (x, h)], fill=c + (255,))
    for x in range(-h, w, 18):  # diagonal sheen
        d.line([(x, h), (x + h, 0)], fill=(255, 255, 255, 40), width=6)
    mask = Image.new("L", (w, h), 0)
    ImageDraw.Draw(mask).rounded_rectangle((1, 1, w - 2, h - 2), radius=6, fill=255)
    img.paste(bar, (0, 0), mask)
    ImageDraw.Draw(img).line((8, 4, w - 8, 4), fill=(255, 255, 255, 90), width=2)
    save(img, "Schedule_background.png")


def main():
    background()
    for state in STATES:
        suffix = state
        save(round_button(35, state, "close"), f"Close_{suffix}.png")
        save(round_button(41, state, "min"), f"Minimize_{suffix}.png")
        save(plate_button(160, 50, state, "开始游戏", 22), f"Button_Play_{suffix}.png")
        repair = {"up": "UP", "over": "Over", "down": "Down", "dis": "Dis"}[state]
        save(plate_button(85, 37, state, "修复", 16), f"Button_Repair_{repair}.png")
        save(plate_button(107, 27, state, "", 12), f"MsgButton_{suffix}.png")
    progress_bar()
    save(plate_button(90, 22, "up", "加入玩家群", 12), "group.png")
    box = vertical_gradient(334, 190, (30, 48, 80), NIGHT)
    ImageDraw.Draw(box).rectangle((0, 0, 333, 189), outline=GOLD + (255,), width=2)
    ImageDraw.Draw(box).line((10, 36, 323, 36), fill=(120, 100, 50, 255), width=1)
    save(box.convert("RGB"), "MessageBox_BJ.png")
    icon = round_button(64, "up", "min")
    ImageDraw.Draw(icon).text((18, 8), "K", font=font(40), fill=GOLD + (255,))
    os.makedirs(os.path.join(HERE, "icon"), exist_ok=True)
    icon.save(os.path.join(HERE, "icon", "kestrava.png"), optimize=True)


if __name__ == "__main__":
    main()
