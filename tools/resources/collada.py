"""COLLADA 1.4.1 writer for small flat-shaded models, and the solid shapes they are made of.

Every face gets vertices of its own, so normals are per face (the crisp look of the usual
low-polygon models) and every triangle list indexes its sources with one running index.
Coordinates are metres with Z up; the model's front points to +Y, which is north for a KML
Model with heading 0.
"""

import math


def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def _unit(a):
    n = math.sqrt(_dot(a, a))
    if n < 1e-12:
        raise ValueError("degenerate face")
    return (a[0] / n, a[1] / n, a[2] / n)


class Material:
    def __init__(self, name, colour=None, texture=None, shininess=10.0):
        self.name = name
        self.colour = colour  # (r, g, b) 0..1 when not textured
        self.texture = texture  # image path relative to the .dae, or None
        self.shininess = shininess


class Part:
    """Triangles of one material. A face is a convex polygon, given with outward winding."""

    def __init__(self, name, material):
        self.name = name
        self.material = material
        self.triangles = []  # ((p, p, p), normal, (uv, uv, uv) or None)

    def face(self, points, uvs=None):
        normal = _unit(_cross(_sub(points[1], points[0]), _sub(points[2], points[0])))
        for i in range(1, len(points) - 1):
            tri = (points[0], points[i], points[i + 1])
            tuv = (uvs[0], uvs[i], uvs[i + 1]) if uvs else None
            self.triangles.append((tri, normal, tuv))


def oriented_face(part, points, uvs, outward):
    """Adds a face turned so that its front side looks along the outward vector."""
    n = _cross(_sub(points[1], points[0]), _sub(points[2], points[0]))
    if _dot(n, outward) < 0:
        points = list(reversed(points))
        uvs = list(reversed(uvs)) if uvs else None
    part.face(points, uvs)


def convex_faces(part, faces, uvs=None):
    """Adds the faces of a convex solid; each face is turned to face away from the centre, so
    callers need not care about winding."""
    pts = [p for f in faces for p in f]
    centre = tuple(sum(p[i] for p in pts) / len(pts) for i in range(3))
    for k, f in enumerate(faces):
        fc = tuple(sum(p[i] for p in f) / len(f) for i in range(3))
        n = _cross(_sub(f[1], f[0]), _sub(f[2], f[0]))
        uv = uvs[k] if uvs else None
        if _dot(n, _sub(fc, centre)) < 0:
            f = list(reversed(f))
            uv = list(reversed(uv)) if uv else None
        part.face(f, uv)


def box(part, x0, y0, z0, x1, y1, z1):
    c = [(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
    faces = [[c[0], c[1], c[3], c[2]], [c[4], c[5], c[7], c[6]], [c[0], c[1], c[5], c[4]],
             [c[2], c[3], c[7], c[6]], [c[0], c[2], c[6], c[4]], [c[1], c[3], c[7], c[5]]]
    convex_faces(part, faces)


def prism_x(part, profile, x0, x1):
    """A convex profile in the (y, z) plane extruded from x0 to x1."""
    n = len(profile)
    turns = set()
    for i in range(n):
        (ay, az), (by, bz), (cy, cz) = profile[i], profile[(i + 1) % n], profile[(i + 2) % n]
        turns.add((by - ay) * (cz - bz) - (bz - az) * (cy - by) > 0)
    if len(turns) != 1:
        raise ValueError("profile is not convex")
    a = [(x0, y, z) for y, z in profile]
    b = [(x1, y, z) for y, z in profile]
    faces = [a, b]
    for i in range(n):
        j = (i + 1) % n
        faces.append([a[i], a[j], b[j], b[i]])
    convex_faces(part, faces)


def frustum(part, bottom, top):
    """A convex solid between two quads (each four (x, y, z) points in the same order)."""
    faces = [bottom, top]
    for i in range(4):
        j = (i + 1) % 4
        faces.append([bottom[i], bottom[j], top[j], top[i]])
    convex_faces(part, faces)


def cylinder(part, centre, axis, radius, length, segments=16, caps=True):
    """A cylinder along the unit axis 'x', 'y' or 'z', centred at centre."""
    def point(angle, t):
        u, v = radius * math.cos(angle), radius * math.sin(angle)
        if axis == "x":
            return (centre[0] + t, centre[1] + u, centre[2] + v)
        if axis == "y":
            return (centre[0] + u, centre[1] + t, centre[2] + v)
        return (centre[0] + u, centre[1] + v, centre[2] + t)

    h = length / 2.0
    angles = [2.0 * math.pi * i / segments for i in range(segments)]
    a = [point(t, -h) for t in angles]
    b = [point(t, h) for t in angles]
    faces = [[a[i], a[(i + 1) % segments], b[(i + 1) % segments], b[i]] for i in range(segments)]
    if caps:
        faces += [a, b]
    convex_faces(part, faces)


def disc(part, centre, axis, radius, outward, segments=16):
    """A flat disc facing +axis (outward = 1) or -axis (outward = -1)."""
    pts = []
    for i in range(segments):
        t = 2.0 * math.pi * i / segments
        u, v = radius * math.cos(t), radius * math.sin(t)
        pts.append({"x": (centre[0], centre[1] + u, centre[2] + v),
                    "y": (centre[0] + u, centre[1], centre[2] + v),
                    "z": (centre[0] + u, centre[1] + v, centre[2])}[axis])
    normal = _unit(_cross(_sub(pts[1], pts[0]), _sub(pts[2], pts[0])))
    want = {"x": (outward, 0, 0), "y": (0, outward, 0), "z": (0, 0, outward)}[axis]
    if _dot(normal, want) < 0:
        pts.reverse()
    part.face(pts)


def cone(part, base_centre, radius, height, segments=16):
    """A cone along z with its base at base_centre and its apex height above (below if < 0)."""
    apex = (base_centre[0], base_centre[1], base_centre[2] + height)
    ring = [(base_centre[0] + radius * math.cos(2 * math.pi * i / segments),
             base_centre[1] + radius * math.sin(2 * math.pi * i / segments), base_centre[2])
            for i in range(segments)]
    faces = [[ring[i], ring[(i + 1) % segments], apex] for i in range(segments)] + [ring]
    convex_faces(part, faces)


def _num(v):
    s = ("%.4f" % v).rstrip("0").rstrip(".")
    return "0" if s in ("", "-0") else s


def _fmt(values):
    return " ".join(_num(v) for v in values)


def write_collada(name, parts, created="2008-01-01T00:00:00Z"):
    """The COLLADA document for the parts, one geometry per part."""
    materials = []
    for p in parts:
        if p.material not in materials:
            materials.append(p.material)
    images = sorted({m.texture for m in materials if m.texture})
    image_id = {path: "image%d" % i for i, path in enumerate(images)}

    out = ['<?xml version="1.0" encoding="utf-8"?>',
           '<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">',
           '  <asset>',
           '    <contributor>',
           '      <authoring_tool>Tivra resource generator</authoring_tool>',
           '    </contributor>',
           '    <created>%s</created>' % created,
           '    <modified>%s</modified>' % created,
           '    <unit name="meter" meter="1"/>',
           '    <up_axis>Z_UP</up_axis>',
           '  </asset>']
    if images:
        out.append('  <library_images>')
        for path in images:
            out += ['    <image id="%s" name="%s">' % (image_id[path], image_id[path]),
                    '      <init_from>%s</init_from>' % path,
                    '    </image>']
        out.append('  </library_images>')

    out.append('  <library_materials>')
    for m in materials:
        out += ['    <material id="%s-material" name="%s">' % (m.name, m.name),
                '      <instance_effect url="#%s-effect"/>' % m.name,
                '    </material>']
    out.append('  </library_materials>')

    out.append('  <library_effects>')
    for m in materials:
        out += ['    <effect id="%s-effect" name="%s-effect">' % (m.name, m.name),
                '      <profile_COMMON>']
        if m.texture:
            img = image_id[m.texture]
            out += ['        <newparam sid="%s-surface">' % img,
                    '          <surface type="2D">',
                    '            <init_from>%s</init_from>' % img,
                    '          </surface>',
                    '        </newparam>',
                    '        <newparam sid="%s-sampler">' % img,
                    '          <sampler2D>',
                    '            <source>%s-surface</source>' % img,
                    '          </sampler2D>',
                    '        </newparam>']
        out += ['        <technique sid="COMMON">',
                '          <phong>',
                '            <emission><color>0 0 0 1</color></emission>',
                '            <ambient><color>0 0 0 1</color></ambient>']
        if m.texture:
            out.append('            <diffuse><texture texture="%s-sampler" texcoord="UVSET0"/>'
                       '</diffuse>' % image_id[m.texture])
        else:
            out.append('            <diffuse><color>%s 1</color></diffuse>' % _fmt(m.colour))
        out += ['            <specular><color>0.33 0.33 0.33 1</color></specular>',
                '            <shininess><float>%s</float></shininess>' % _fmt([m.shininess]),
                '          </phong>',
                '        </technique>',
                '      </profile_COMMON>',
                '    </effect>']
    out.append('  </library_effects>')

    out.append('  <library_geometries>')
    for p in parts:
        n = len(p.triangles)
        positions = [c for tri, _, _ in p.triangles for pt in tri for c in pt]
        normals = [c for _, nv, _ in p.triangles for _ in range(3) for c in nv]
        textured = p.material.texture is not None
        gid = "%s-mesh" % p.name
        out += ['    <geometry id="%s" name="%s">' % (gid, p.name), '      <mesh>']

        def source(sid, values, params):
            return ['        <source id="%s">' % sid,
                    '          <float_array id="%s-array" count="%d">%s</float_array>'
                    % (sid, len(values), _fmt(values)),
                    '          <technique_common>',
                    '            <accessor source="#%s-array" count="%d" stride="%d">'
                    % (sid, len(values) // len(params), len(params))] + \
                   ['              <param name="%s" type="float"/>' % q for q in params] + \
                   ['            </accessor>', '          </technique_common>', '        </source>']

        out += source(gid + "-positions", positions, "XYZ")
        out += source(gid + "-normals", normals, "XYZ")
        if textured:
            uvs = [c for _, _, tuv in p.triangles for uv in tuv for c in uv]
            out += source(gid + "-uv", uvs, "ST")
        out += ['        <vertices id="%s-vertices">' % gid,
                '          <input semantic="POSITION" source="#%s-positions"/>' % gid,
                '        </vertices>',
                '        <triangles material="%s" count="%d">' % (p.material.name, n),
                '          <input semantic="VERTEX" source="#%s-vertices" offset="0"/>' % gid,
                '          <input semantic="NORMAL" source="#%s-normals" offset="0"/>' % gid]
        if textured:
            out.append('          <input semantic="TEXCOORD" source="#%s-uv" offset="0" set="0"/>'
                       % gid)
        out += ['          <p>%s</p>' % " ".join(str(i) for i in range(3 * n)),
                '        </triangles>',
                '      </mesh>',
                '    </geometry>']
    out.append('  </library_geometries>')

    out += ['  <library_visual_scenes>',
            '    <visual_scene id="%s-scene" name="%s">' % (name, name),
            '      <node id="%s" name="%s">' % (name, name)]
    for p in parts:
        m = p.material
        out += ['        <instance_geometry url="#%s-mesh">' % p.name,
                '          <bind_material>',
                '            <technique_common>',
                '              <instance_material symbol="%s" target="#%s-material">'
                % (m.name, m.name)]
        if m.texture:
            out.append('                <bind_vertex_input semantic="UVSET0" '
                       'input_semantic="TEXCOORD" input_set="0"/>')
        out += ['              </instance_material>',
                '            </technique_common>',
                '          </bind_material>',
                '        </instance_geometry>']
    out += ['      </node>',
            '    </visual_scene>',
            '  </library_visual_scenes>',
            '  <scene>',
            '    <instance_visual_scene url="#%s-scene"/>' % name,
            '  </scene>',
            '</COLLADA>']
    return ("\n".join(out) + "\n").encode("utf-8")
