#!/usr/bin/python3
"""Renders the photograph-like test scene of the README as an 8-bit PGM.

    /usr/bin/python3 doc/scene.py OUT.pgm [WIDTH HEIGHT]

Spheres on a tiled floor under a sky, ray-cast with a sun, soft shadows,
reflections of the sky, depth haze and a little sensor noise: enough edges,
gradients and texture to show what a kernel does. Deterministic; needs numpy.
"""

import sys

import numpy as np


def normalize(v):
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def render(width, height):
    rng = np.random.default_rng(7)
    aspect = width / height
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    px = (2 * (xs + 0.5) / width - 1) * aspect * 0.6
    py = (1 - 2 * (ys + 0.5) / height) * 0.6
    eye = np.array([0.0, 1.3, -4.0])
    pitch = -0.12
    d = np.stack([px, py * np.cos(pitch) + np.sin(pitch), np.cos(pitch) - py * np.sin(pitch)], -1)
    d = normalize(d)
    sun = normalize(np.array([-0.6, 0.75, -0.35]))

    spheres = [  # centre, radius, albedo, shininess
        (np.array([-1.25, 0.75, 1.2]), 0.75, 0.80, 60.0),
        (np.array([0.55, 0.5, 0.4]), 0.5, 0.35, 200.0),
        (np.array([1.9, 1.0, 2.6]), 1.0, 0.60, 20.0),
        (np.array([0.2, 0.28, -0.9]), 0.28, 0.95, 80.0),
    ]

    def hit_spheres(origin, direction):
        best = np.full(direction.shape[:-1], np.inf)
        which = np.full(direction.shape[:-1], -1)
        for i, (c, r, _, _) in enumerate(spheres):
            oc = origin - c
            b = np.sum(oc * direction, -1)
            disc = b * b - (np.sum(oc * oc, -1) - r * r)
            t = -b - np.sqrt(np.maximum(disc, 0))
            ok = (disc > 0) & (t > 1e-4) & (t < best)
            best = np.where(ok, t, best)
            which = np.where(ok, i, which)
        return best, which

    def sky(direction):
        up = np.clip(direction[..., 1], -1, 1)
        base = 0.55 + 0.35 * (1 - np.clip(up, 0, 1)) ** 2
        glow = np.clip(np.sum(direction * sun, -1), 0, 1) ** 64
        return base + 0.6 * glow

    def shadow(points):
        # Soft: the fraction of a few jittered rays towards the sun that escape.
        lit = np.zeros(points.shape[:-1])
        for _ in range(6):
            jitter = normalize(sun + rng.normal(0, 0.04, points.shape))
            t, _ = hit_spheres(points, jitter)
            lit += np.isinf(t)
        return lit / 6

    t_sphere, which = hit_spheres(eye, d)
    t_floor = np.where(d[..., 1] < -1e-6, -eye[1] / np.minimum(d[..., 1], -1e-6), np.inf)
    image = sky(d)

    floor = (t_floor < t_sphere) & np.isfinite(t_floor)
    far = 1e3  # where a ray hits nothing, so that no arithmetic meets infinity
    t_floor = np.where(np.isfinite(t_floor), t_floor, far)
    t_sphere = np.where(np.isfinite(t_sphere), t_sphere, far)
    p = eye + d * t_floor[..., None]
    tile = (np.floor(p[..., 0] * 1.2) + np.floor(p[..., 2] * 1.2)) % 2
    grain = 0.04 * np.sin(p[..., 0] * 23.0 + np.sin(p[..., 2] * 7.0) * 2.0)
    albedo = np.where(tile > 0, 0.62, 0.38) + grain
    light = 0.25 + 0.75 * shadow(p) * sun[1]
    # Darker near the spheres' feet: contact shadows.
    for c, r, _, _ in spheres:
        dist = np.hypot(p[..., 0] - c[0], p[..., 2] - c[2])
        light *= 1 - 0.5 * np.exp(-np.maximum(dist - 0.2 * r, 0) ** 2 / (0.5 * r * r))
    haze = 1 - np.exp(-t_floor / 12)
    floor_value = albedo * light * (1 - haze) + 0.8 * haze
    image = np.where(floor, floor_value, image)

    for i, (c, r, a, shine) in enumerate(spheres):
        mask = (which == i) & (t_sphere < far) & ~floor
        if not mask.any():
            continue
        q = eye + d * t_sphere[..., None]
        n = normalize(q - c)
        diffuse = np.clip(np.sum(n * sun, -1), 0, 1) * shadow(q + n * 1e-3)
        reflect = d - 2 * np.sum(d * n, -1, keepdims=True) * n
        specular = np.clip(np.sum(reflect * sun, -1), 0, 1) ** shine
        grazing = 0.08 + 0.5 * (1 - np.clip(-np.sum(d * n, -1), 0, 1)) ** 4
        ground = 0.35 * np.clip(-n[..., 1], 0, 1)  # light bounced off the floor
        value = a * (0.12 + 0.8 * diffuse + ground) + grazing * sky(reflect) + specular
        image = np.where(mask, value, image)

    # A lens: vignetting, then sensor noise.
    r2 = ((xs - width / 2) / width) ** 2 + ((ys - height / 2) / height) ** 2
    image = image * (1 - 0.5 * r2) + rng.normal(0, 0.006, image.shape)
    return np.clip(np.round(255 * image ** (1 / 1.3)), 0, 255).astype(np.uint8)


def main(argv):
    if len(argv) not in (2, 4):
        sys.exit(__doc__.strip().splitlines()[2].strip())
    width, height = (int(argv[2]), int(argv[3])) if len(argv) == 4 else (480, 320)
    pixels = render(width, height)
    with open(argv[1], "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (width, height))
        out.write(pixels.tobytes())


if __name__ == "__main__":
    main(sys.argv)
