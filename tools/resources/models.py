"""Geometry of the two 3D models: the GPS car and the satellite."""

import math

from collada import Material, Part, box, cone, cylinder, disc, frustum, oriented_face, prism_x


def car_parts():
    """A hatchback of 4.2 m x 1.7 m x 1.45 m, front to +Y, wheels on the ground plane z = 0."""
    paint = Material("paint", (0.80, 0.10, 0.08), shininess=40.0)
    trim = Material("trim", (0.15, 0.15, 0.16))
    glass = Material("glass", (0.16, 0.24, 0.32), shininess=80.0)
    tyre = Material("tyre", (0.05, 0.05, 0.05))
    rim = Material("rim", (0.75, 0.76, 0.78), shininess=60.0)
    head = Material("headlight", (1.0, 0.97, 0.82), shininess=80.0)
    tail = Material("taillight", (0.85, 0.02, 0.02), shininess=60.0)
    logo = Material("logo", texture="../images/logo.png")

    body = Part("body", paint)
    # Side profile of the lower body (y, z): sloping nose and tail, flat underside.
    prism_x(body, [(-2.10, 0.32), (2.10, 0.32), (2.10, 0.62), (1.95, 0.82), (1.10, 0.95),
                   (-1.60, 0.98), (-2.05, 0.90), (-2.10, 0.62)], -0.85, 0.85)

    cabin = Part("cabin", paint)
    glass_part = Part("glass", glass)
    # Cabin: a frustum from the belt line to the roof; roof in paint, the sloped sides as glass.
    bottom = [(-0.80, -1.55, 0.96), (0.80, -1.55, 0.96), (0.80, 1.00, 0.95), (-0.80, 1.00, 0.95)]
    top = [(-0.66, -1.25, 1.45), (0.66, -1.25, 1.45), (0.66, 0.15, 1.45), (-0.66, 0.15, 1.45)]
    frustum(glass_part, bottom, top)
    box(cabin, -0.67, -1.24, 1.44, 0.67, 0.14, 1.47)  # roof panel

    bumpers = Part("bumpers", trim)
    box(bumpers, -0.86, 2.05, 0.30, 0.86, 2.16, 0.50)
    box(bumpers, -0.86, -2.16, 0.30, 0.86, -2.05, 0.50)

    tyres = Part("tyres", tyre)
    rims = Part("rims", rim)
    for wx in (-0.76, 0.76):
        for wy in (-1.30, 1.35):
            cylinder(tyres, (wx, wy, 0.31), "x", 0.31, 0.22)
            side = 1 if wx > 0 else -1
            disc(rims, (wx + side * 0.112, wy, 0.31), "x", 0.19, side)

    lights = Part("headlights", head)
    rear = Part("taillights", tail)
    for x in (-0.62, 0.62):
        box(lights, x - 0.18, 2.10, 0.62, x + 0.18, 2.13, 0.72)
        box(rear, x - 0.16, -2.13, 0.64, x + 0.16, -2.10, 0.76)

    decal = Part("decals", logo)
    # The logo on both front doors, a centimetre outside the paint, reading left to right as
    # seen from outside: the left edge is the back on the right-hand side and the front on the
    # left-hand side.
    for side in (-1, 1):
        x = side * 0.86
        left, right = (-0.25, 0.95) if side > 0 else (0.95, -0.25)
        quad = [(x, left, 0.50), (x, right, 0.50), (x, right, 0.79), (x, left, 0.79)]
        oriented_face(decal, quad, [(0, 0), (1, 0), (1, 1), (0, 1)], (side, 0, 0))
    return [body, cabin, glass_part, bumpers, tyres, rims, lights, rear, decal]


def satellite_parts():
    """A box-shaped satellite: gold body, a panel wing on each side along X, a dish pointing
    down (towards the Earth when the model stands upright) and a whip antenna on top."""
    foil = Material("foil", (0.83, 0.66, 0.22), shininess=50.0)
    metal = Material("metal", (0.70, 0.71, 0.74), shininess=60.0)
    white = Material("dish", (0.92, 0.92, 0.90), shininess=20.0)
    cells = Material("cells", texture="../images/Mini_Blinds.jpg")
    frame = Material("panelback", (0.25, 0.27, 0.30))

    body = Part("body", foil)
    box(body, -0.8, -0.8, -1.1, 0.8, 0.8, 1.1)

    booms = Part("booms", metal)
    cylinder(booms, (-1.45, 0.0, 0.0), "x", 0.06, 1.3, segments=8)
    cylinder(booms, (1.45, 0.0, 0.0), "x", 0.06, 1.3, segments=8)
    mast = Part("mast", metal)
    cylinder(mast, (0.0, 0.0, 1.7), "z", 0.04, 1.2, segments=8)
    cone(mast, (0.0, 0.0, -1.1), 0.22, -0.35, segments=12)  # feed mount under the body

    panels = Part("panels", cells)
    backs = Part("panelbacks", frame)
    for side in (-1, 1):
        x0, x1 = side * 2.1, side * 6.1
        lo, hi = min(x0, x1), max(x0, x1)
        # Textured face towards +Y and -Y, a thin frame around.
        for y, facing in ((0.04, 1), (-0.04, -1)):
            quad = [(lo, y, -0.9), (hi, y, -0.9), (hi, y, 0.9), (lo, y, 0.9)]
            # Four cell blocks along the wing (the texture repeats).
            oriented_face(panels, quad, [(0, 0), (4, 0), (4, 1), (0, 1)], (0, facing, 0))
        box(backs, lo, -0.03, -0.92, hi, 0.03, -0.9)
        box(backs, lo, -0.03, 0.9, hi, 0.03, 0.92)

    dish = Part("dish", white)
    # A shallow dish: a ring of faces from the rim down to the vertex, seen from below.
    rim_z, depth, radius, n = -1.75, 0.30, 0.95, 16
    ring = [(radius * math.cos(2 * math.pi * i / n), radius * math.sin(2 * math.pi * i / n), rim_z)
            for i in range(n)]
    vertex = (0.0, 0.0, rim_z + depth)
    for i in range(n):
        a, b = ring[i], ring[(i + 1) % n]
        dish.face([a, b, vertex])  # back of the dish, facing up and out
        dish.face([b, a, vertex])  # reflector, facing down
    strut = Part("strut", metal)
    cylinder(strut, (0.0, 0.0, -1.42), "z", 0.035, 0.66, segments=8)
    return [body, booms, mast, panels, backs, dish, strut]

