#!/usr/bin/env python3
"""Writes every built-in resource into resources/ (or the directory given as the argument).

The output is deterministic: fixed ZIP time stamps, seeded noise, no dependence on the
machine, so rerunning the generator leaves the committed files unchanged.

    python3 tools/resources/generate.py [output-dir]
"""

import io
import os
import sys
import zipfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import images  # noqa: E402
import nmea  # noqa: E402
from collada import write_collada  # noqa: E402
from jpegwrite import encode_jpeg  # noqa: E402
from models import car_parts, satellite_parts  # noqa: E402

DOC_KML = """<?xml version="1.0" encoding="UTF-8"?>
<kml xmlns="http://earth.google.com/kml/2.1">
<Placemark>
  <name>{name}</name>
  <Model id="{name}_model">
    <altitudeMode>relativeToGround</altitudeMode>
    <Location>
      <longitude>0</longitude>
      <latitude>0</latitude>
      <altitude>0</altitude>
    </Location>
    <Orientation>
      <heading>0</heading>
      <tilt>0</tilt>
      <roll>0</roll>
    </Orientation>
    <Scale>
      <x>1</x>
      <y>1</y>
      <z>1</z>
    </Scale>
    <Link>
      <href>models/{name}.dae</href>
    </Link>
  </Model>
</Placemark>
</kml>
"""


def kmz(name, dae, texture_name, texture):
    """The model archive: doc.kml, the model, its texture and the texture list, deflated, with
    a fixed time stamp and the same attributes on every system."""
    members = [
        ("doc.kml", DOC_KML.format(name=name).encode("utf-8")),
        ("models/%s.dae" % name, dae),
        ("images/%s" % texture_name, texture),
        ("textures.txt", ("<../images/{0}> <../images/{0}>\n".format(texture_name)).encode()),
    ]
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as archive:
        for member, data in members:
            info = zipfile.ZipInfo(member, date_time=(2008, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0
            info.external_attr = 0
            archive.writestr(info, data, compresslevel=9)
    return buf.getvalue()


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "resources")
    os.makedirs(out_dir, exist_ok=True)

    logo = images.logo_png()
    width, height, cells = images.solar_texture_rgb()
    files = {
        "default.png": images.default_png(),
        "logo.png": logo,
        "cross.png": images.cross_png(),
        "sample_picture.png": images.sample_picture_png(),
        "sample_tile.png": images.sample_tile_png(),
        "TivraCar.kmz": kmz("TivraCar", write_collada("TivraCar", car_parts()), "logo.png", logo),
        "sat.kmz": kmz("sat", write_collada("sat", satellite_parts()), "Mini_Blinds.jpg",
                       encode_jpeg(width, height, cells, quality=90)),
        "demo.nmea": nmea.demo_nmea(),
    }
    for name, data in sorted(files.items()):
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
        print("%-20s %7d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
