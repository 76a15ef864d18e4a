"""Overlay pictures for the command line's outputs: cells tinted over their image, tracks
drawn over a movie's first frame, as the toolbox's examples draw them."""

from __future__ import annotations

import numpy as np


def grey_to_bytes(image: np.ndarray) -> np.ndarray:
    """An image stretched from its lowest value to its 99.5th percentile onto 0..255."""
    values = image.astype(np.float64)
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return np.zeros(image.shape, np.uint8)
    low, high = finite.min(), np.percentile(finite, 99.5)
    scaled = (values - low) / (high - low) if high > low else np.zeros_like(values)
    return np.round(255 * np.clip(np.nan_to_num(scaled), 0, 1)).astype(np.uint8)


def colours(count: int) -> np.ndarray:
    """A bright colour for each of count labels, the same at every call; row 0 is black."""
    palette = np.random.default_rng(20261209).uniform(0.3, 1.0, size=(count + 1, 3))
    palette[0] = 0
    return np.round(255 * palette).astype(np.uint8)


def label_overlay(image: np.ndarray, labels: np.ndarray) -> np.ndarray:
    """RGB: each cell tinted in its own colour over the image, its border in full colour."""
    grey = grey_to_bytes(image)[..., np.newaxis].astype(np.float64)
    palette = colours(int(labels.max(initial=0)))[labels].astype(np.float64)
    cell = (labels > 0)[..., np.newaxis]
    rgb = np.where(cell, 0.5 * grey + 0.5 * palette, grey)
    border = np.zeros(labels.shape, bool)
    border[1:, :] |= labels[1:, :] != labels[:-1, :]
    border[:-1, :] |= labels[:-1, :] != labels[1:, :]
    border[:, 1:] |= labels[:, 1:] != labels[:, :-1]
    border[:, :-1] |= labels[:, :-1] != labels[:, 1:]
    border &= labels > 0
    rgb[border] = palette[border]
    return np.round(rgb).astype(np.uint8)


def track_overlay(frame: np.ndarray, table: np.ndarray) -> np.ndarray:
    """RGB: the tracks (rows track_id, t, y, x) as coloured paths over the frame, enlarged
    so that its shorter side has at least 512 pixels; a square marks each start."""
    from PIL import Image, ImageDraw

    zoom = max(1, int(np.ceil(512 / max(1, min(frame.shape)))))
    grey = Image.fromarray(grey_to_bytes(frame)).resize(
        (frame.shape[1] * zoom, frame.shape[0] * zoom), Image.NEAREST).convert("RGB")
    draw = ImageDraw.Draw(grey)
    palette = colours(int(table[:, 0].max(initial=0)) if len(table) else 0)
    centre = (zoom - 1) / 2
    for track_id in np.unique(table[:, 0]):
        path = table[table[:, 0] == track_id]
        points = [(x * zoom + centre, y * zoom + centre) for y, x in path[:, 2:4]]
        colour = tuple(int(c) for c in palette[track_id])
        draw.line(points, fill=colour, width=max(1, zoom // 2))
        x, y = points[0]
        half = max(2, zoom)
        draw.rectangle([x - half, y - half, x + half, y + half], outline=colour)
    return np.asarray(grey)
