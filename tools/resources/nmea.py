"""The demo recording: a simulated drive through central Beijing as a receiver would log it
(GGA, RMC and VTG every second; GSA and the three GSV pages every fifth second)."""

import math

from images import Rng

EPOCHS = 791  # 13 min 11 s
START = (2007, 10, 20, 2, 15, 0)  # UTC; 10:15 in Beijing
LAT0, LON0 = 39.9070, 116.3962  # Chang'an Avenue east of Tiananmen
M_PER_DEG_LAT = 111030.0
M_PER_DEG_LON = 111320.0 * math.cos(math.radians(LAT0))

# Route corners (longitude, latitude): east along Chang'an Avenue, north along Dongdan and
# Dongsi, west along Wusi Street, south past the palace moat, west along Chang'an Avenue
# past Tiananmen. The last leg's length is fitted
# so that the drive ends with a short halt in the last second of the recording.
ROUTE = [(116.3962, 39.9070), (116.4180, 39.9071), (116.4178, 39.9243), (116.4030, 39.9245),
         (116.4031, 39.9073), (116.3760, 39.9071)]
LEG_SPEED_KMH = [58.0, 46.0, 42.0, 38.0, 52.0]
# Red lights: (leg index, metres before the leg's end, seconds waited).
RED_LIGHTS = [(0, 120.0, 38), (1, 18.0, 27), (2, 18.0, 33), (3, 18.0, 24)]
START_HALT = 9  # seconds parked before the drive
END_HALT = 6
CORNER_RADIUS = 14.0  # metres
CORNER_SPEED = 5.4  # m/s, about 19 km/h through a right-angle turn
ACCEL, BRAKE = 1.4, 1.9  # m/s^2


def _local(lon, lat):
    return ((lon - LON0) * M_PER_DEG_LON, (lat - LAT0) * M_PER_DEG_LAT)


class Path:
    """Straight legs joined by circular arcs; position and course by distance along it."""

    def __init__(self, points):
        self.pieces = []  # ("line", start, end, length) or ("arc", centre, r, a0, sweep, length)
        self.leg_ends = []  # distance at which each leg (with half of its corners) ends
        pts = [_local(*p) for p in points]
        cur = pts[0]
        s = 0.0
        for i in range(1, len(pts)):
            a, b = pts[i - 1], pts[i]
            if i + 1 < len(pts):
                c = pts[i + 1]
                u = _norm((b[0] - a[0], b[1] - a[1]))
                v = _norm((c[0] - b[0], c[1] - b[1]))
                turn = math.atan2(u[0] * v[1] - u[1] * v[0], u[0] * v[0] + u[1] * v[1])
                cut = CORNER_RADIUS * math.tan(abs(turn) / 2.0)
                p_in = (b[0] - u[0] * cut, b[1] - u[1] * cut)
                p_out = (b[0] + v[0] * cut, b[1] + v[1] * cut)
                s = self._line(cur, p_in, s)
                side = 1.0 if turn > 0 else -1.0  # left turn: centre on the left
                centre = (p_in[0] - u[1] * CORNER_RADIUS * side, p_in[1] + u[0] * CORNER_RADIUS * side)
                a0 = math.atan2(p_in[1] - centre[1], p_in[0] - centre[0])
                length = CORNER_RADIUS * abs(turn)
                self.pieces.append(("arc", centre, CORNER_RADIUS, a0, turn, length, s))
                self.leg_ends.append(s)
                s += length
                cur = p_out
            else:
                s = self._line(cur, b, s)
                self.leg_ends.append(s)
        self.length = s

    def _line(self, a, b, s):
        length = math.hypot(b[0] - a[0], b[1] - a[1])
        self.pieces.append(("line", a, b, length, s))
        return s + length

    def at(self, s):
        """(east, north, course in degrees) at distance s."""
        s = max(0.0, min(s, self.length))
        for piece in self.pieces:
            if piece[0] == "line":
                _, a, b, length, s0 = piece
                if s <= s0 + length:
                    t = (s - s0) / length
                    course = math.degrees(math.atan2(b[0] - a[0], b[1] - a[1])) % 360.0
                    return a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, course
            else:
                _, centre, r, a0, turn, length, s0 = piece
                if s <= s0 + length:
                    ang = a0 + turn * (s - s0) / length
                    e, n = centre[0] + r * math.cos(ang), centre[1] + r * math.sin(ang)
                    # Tangent direction of travel along the arc.
                    side = 1.0 if turn > 0 else -1.0
                    te, tn = -math.sin(ang) * side, math.cos(ang) * side
                    return e, n, math.degrees(math.atan2(te, tn)) % 360.0
        raise AssertionError("distance outside the path")

    def corners(self):
        return [(p[6], p[6] + p[5]) for p in self.pieces if p[0] == "arc"]


def _norm(v):
    n = math.hypot(*v)
    return (v[0] / n, v[1] / n)


def simulate(route):
    """Distance, speed and moving flag for every second of the recording, and the second in
    which the car reached the end of the route (None if it did not)."""
    path = Path(route)
    corners = path.corners()
    stops = [(path.leg_ends[leg] - before, wait) for leg, before, wait in RED_LIGHTS]
    stops.append((path.length, 10 ** 6))
    dt = 0.1
    s, v, t = 0.0, 0.0, 0.0
    waited = 0.0
    stop_index = 0
    samples = []
    arrival = None
    steps_per_second = 10
    step = 0
    while len(samples) < EPOCHS:
        if step % steps_per_second == 0:
            samples.append((s, v))
        step += 1
        t += dt
        if t < START_HALT:
            continue
        leg = next(i for i, end in enumerate(path.leg_ends) if s <= end + 1e-6) \
            if s < path.length else len(path.leg_ends) - 1
        limit = LEG_SPEED_KMH[leg] / 3.6 * (1.0 + 0.04 * math.sin(t / 23.0))
        target = limit
        for c0, c1 in corners:
            if s <= c1:
                if s >= c0:
                    target = min(target, CORNER_SPEED)
                else:
                    target = min(target, math.sqrt(CORNER_SPEED ** 2 + 2 * BRAKE * (c0 - s)))
        if stop_index < len(stops):
            stop_s, wait = stops[stop_index]
            gap = max(0.0, stop_s - s)
            target = min(target, math.sqrt(2 * BRAKE * gap))
            if gap < 0.4 and v < 0.5:
                v = 0.0
                waited += dt
                if arrival is None and stop_index == len(stops) - 1:
                    arrival = t
                if waited >= wait:
                    stop_index += 1
                    waited = 0.0
                continue
        if v < target:
            v = min(target, v + ACCEL * (1.0 - 0.5 * v / 17.0) * dt)
        else:
            v = max(target, v - 2.5 * dt)
        s = min(path.length, s + v * dt)
    return path, samples, arrival


def fit_route():
    """Moves the last corner along the final leg so the car halts END_HALT seconds before the
    recording ends."""
    lo, hi = 0.05, 1.0
    (ax, ay), (bx, by) = ROUTE[-2], ROUTE[-1]
    best = None
    for _ in range(40):
        mid = (lo + hi) / 2.0
        route = ROUTE[:-1] + [(ax + (bx - ax) * mid, ay + (by - ay) * mid)]
        path, samples, arrival = simulate(route)
        if arrival is None or arrival > EPOCHS - END_HALT:
            hi = mid
        else:
            lo = mid
            best = (path, samples)
    if best is None:
        raise AssertionError("route cannot be driven in time")
    return best


def _checksum(body):
    x = 0
    for ch in body.encode("ascii"):
        x ^= ch
    return "%02X" % x


def _sentence(body):
    return "$%s*%s\r\n" % (body, _checksum(body))


def _dm(value, deg_digits):
    deg = int(value)
    minutes = (value - deg) * 60.0
    text = "%0*d%07.4f" % (deg_digits, deg, minutes)
    if text[deg_digits:].startswith("60"):
        raise AssertionError("minute rounding overflow")
    return text


def _days_from_civil(y, m, d):
    y -= m <= 2
    era = y // 400
    yoe = y - era * 400
    doy = (153 * (m + (-3 if m > 2 else 9)) + 2) // 5 + d - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def _civil_from_days(z):
    z += 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    d = doy - (153 * mp + 2) // 5 + 1
    m = mp + (3 if mp < 10 else -9)
    return yoe + era * 400 + (m <= 2), m, d


# PRN, elevation and azimuth at the start (degrees), and their drift per second.
SATELLITES = [(2, 63.0, 312.0, 0.0045, 0.012), (4, 41.0, 47.0, -0.0060, 0.009),
              (5, 27.0, 168.0, 0.0070, -0.006), (8, 12.0, 251.0, -0.0035, 0.004),
              (9, 74.0, 112.0, 0.0020, 0.021), (10, 35.0, 214.0, 0.0055, 0.005),
              (12, 18.0, 82.0, -0.0050, 0.006), (15, 5.0, 286.0, 0.0040, -0.003),
              (17, 48.0, 280.0, -0.0030, 0.010), (24, 22.0, 128.0, 0.0060, -0.004),
              (26, 9.0, 21.0, -0.0028, 0.005), (29, 56.0, 186.0, -0.0042, 0.011)]


def _sky(t, rng):
    """(prn, elevation, azimuth, snr or None) of every satellite in view at second t."""
    out = []
    for prn, el, az, del_, daz in SATELLITES:
        e = el + del_ * t
        a = (az + daz * t) % 360.0
        snr = None
        if e > 7.0:
            snr = int(round(min(49.0, 24.0 + 0.36 * e + rng.gauss() * 1.5)))
        out.append((prn, e, a, snr))
    return out


def _dops(used):
    """PDOP, HDOP and VDOP of the used satellites' geometry (east, north, up, clock)."""
    rows = []
    for _, e, a, _ in used:
        er, ar = math.radians(e), math.radians(a)
        rows.append((math.cos(er) * math.sin(ar), math.cos(er) * math.cos(ar), math.sin(er), 1.0))
    m = [[sum(r[i] * r[j] for r in rows) for j in range(4)] for i in range(4)]
    inv = [[float(i == j) for j in range(4)] for i in range(4)]
    for col in range(4):
        piv = max(range(col, 4), key=lambda k: abs(m[k][col]))
        m[col], m[piv] = m[piv], m[col]
        inv[col], inv[piv] = inv[piv], inv[col]
        p = m[col][col]
        m[col] = [x / p for x in m[col]]
        inv[col] = [x / p for x in inv[col]]
        for k in range(4):
            if k != col:
                f = m[k][col]
                m[k] = [x - f * y for x, y in zip(m[k], m[col])]
                inv[k] = [x - f * y for x, y in zip(inv[k], inv[col])]
    h = math.sqrt(inv[0][0] + inv[1][1])
    v = math.sqrt(inv[2][2])
    return math.sqrt(h * h + v * v), h, v


def demo_nmea():
    path, samples = fit_route()
    rng = Rng(160)
    err_e = err_n = 0.0
    last_course = path.at(0.0)[2]
    y0, mo0, d0, h0, mi0, s0 = START
    day0 = _days_from_civil(y0, mo0, d0)
    base = h0 * 3600 + mi0 * 60 + s0
    lines = []
    for t in range(EPOCHS):
        s, v = samples[t]
        e, n, course = path.at(s)
        err_e = 0.93 * err_e + rng.gauss() * 0.3
        err_n = 0.93 * err_n + rng.gauss() * 0.3
        lat = LAT0 + (n + err_n) / M_PER_DEG_LAT
        lon = LON0 + (e + err_e) / M_PER_DEG_LON
        moving = v > 0.3
        if moving:
            last_course = (course + rng.gauss() * 0.6) % 360.0
            kmh = max(0.0, v * 3.6 + rng.gauss() * 0.25)
        else:
            kmh = 0.0
        knots = kmh / 1.852
        alt = 44.0 + 3.5 * math.sin(s / 900.0) + rng.gauss() * 0.3

        total = base + t
        y, mo, d = _civil_from_days(day0 + total // 86400)
        hh, mm, ss = (total % 86400) // 3600, (total % 3600) // 60, total % 60
        stamp = "%02d%02d%02d.000" % (hh, mm, ss)
        date = "%02d%02d%02d" % (d, mo, y % 100)

        sky = _sky(t, rng)
        used = [sat for sat in sky if sat[3] is not None and sat[3] >= 30 and sat[1] >= 10.0][:12]
        pdop, hdop, vdop = _dops(used)

        lat_text = _dm(lat, 2)
        lon_text = _dm(lon, 3)
        lines.append(_sentence("GPGGA,%s,%s,N,%s,E,1,%02d,%.1f,%.1f,M,-8.4,M,,0000" %
                               (stamp, lat_text, lon_text, len(used), hdop, alt)))
        if t % 5 == 1:
            slots = ["%02d" % sat[0] for sat in used] + [""] * (12 - len(used))
            lines.append(_sentence("GPGSA,A,3,%s,%.1f,%.1f,%.1f" %
                                   (",".join(slots), pdop, hdop, vdop)))
            for page in range(3):
                groups = []
                for prn, el, az, snr in sky[page * 4:page * 4 + 4]:
                    groups.append("%02d,%02d,%03d,%s" % (prn, int(round(el)), int(round(az)) % 360,
                                                         "" if snr is None else "%02d" % snr))
                lines.append(_sentence("GPGSV,3,%d,%02d,%s" % (page + 1, len(sky), ",".join(groups))))
        lines.append(_sentence("GPRMC,%s,A,%s,N,%s,E,%.2f,%.2f,%s,,,A" %
                               (stamp, lat_text, lon_text, knots, last_course, date)))
        # The recording was stopped between the last RMC and its VTG.
        if t + 1 < EPOCHS:
            lines.append(_sentence("GPVTG,%.2f,T,,M,%.2f,N,%.2f,K,A" % (last_course, knots, kmh)))
    return "".join(lines).encode("ascii")
