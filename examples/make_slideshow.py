#!/usr/bin/python3
"""Makes the pictures of examples/slideshow/ from the sample photos: what a
phone and a screen leave in a folder, for trying `zoetra create`'s slideshow
options (see docs/command-line.md, "Making a slideshow").

- shot1.jpg: photo1 as it is, 400 x 225;
- shot2.jpg: a portrait crop of photo2 stored sideways with EXIF orientation 6,
  as a phone held upright writes it;
- shot3.png: a logo on a transparent background, 160 x 160;
- shot10.jpg: photo4, smaller, 320 x 180 (after shot3 only in natural order).
"""
import os

from PIL import Image, ImageDraw

here = os.path.dirname(os.path.abspath(__file__))
photos = os.path.join(here, "photos")
out = os.path.join(here, "slideshow")
os.makedirs(out, exist_ok=True)

Image.open(os.path.join(photos, "photo1.jpg")).save(os.path.join(out, "shot1.jpg"), quality=90)

portrait = Image.open(os.path.join(photos, "photo2.jpg")).crop((110, 0, 279, 225))  # 169 x 225
exif = Image.Exif()
exif[0x0112] = 6  # turn a quarter clockwise to show it
portrait.transpose(Image.Transpose.ROTATE_90).save(os.path.join(out, "shot2.jpg"), quality=90, exif=exif)

logo = Image.new("RGBA", (160, 160), (0, 0, 0, 0))
d = ImageDraw.Draw(logo)
d.ellipse([10, 10, 150, 150], fill=(240, 170, 30, 255), outline=(90, 50, 0, 255), width=6)
d.ellipse([45, 45, 115, 115], fill=(240, 170, 30, 96))
d.polygon([(80, 30), (100, 80), (80, 130), (60, 80)], fill=(255, 255, 255, 200))
logo.save(os.path.join(out, "shot3.png"), optimize=True)

Image.open(os.path.join(photos, "photo4.jpg")).resize((320, 180), Image.Resampling.LANCZOS).save(
    os.path.join(out, "shot10.jpg"), quality=90)
