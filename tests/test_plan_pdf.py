"""The printable survey plan: one PDF page of the plan's paper size with the 300 dpi plan at 100 %."""

from __future__ import annotations

import io
import re
import zlib

import pytest
from PIL import Image

pytestmark = pytest.mark.usefixtures("demo_cadastre")

MM_PER_POINT = 25.4 / 72


def pdf_page(pdf: bytes) -> dict:
    """Page size, embedded image size and the image's placement of a one-page matplotlib PDF."""
    assert pdf.startswith(b"%PDF-") and pdf.rstrip().endswith(b"%%EOF")
    assert len(re.findall(rb"/Type /Page\b", pdf)) == 1
    (box,) = re.findall(rb"/MediaBox \[ ([\d.]+) ([\d.]+) ([\d.]+) ([\d.]+) \]", pdf)
    (image,) = re.findall(rb"/Subtype /Image /Width (\d+) /Height (\d+)", pdf)
    placements = []
    for stream in re.findall(rb"stream\n(.*?)\nendstream", pdf, re.S):
        try:
            content = zlib.decompress(stream)
        except zlib.error:
            continue
        placements += re.findall(rb"([\d.]+) 0 0 ([\d.]+) ([\d.]+) ([\d.]+) cm /I1 Do", content)
    (placed,) = placements
    return {"page_mm": (float(box[2]) * MM_PER_POINT, float(box[3]) * MM_PER_POINT),
            "pixels": (int(image[0]), int(image[1])),
            "placed_mm": tuple(float(v) * MM_PER_POINT for v in placed)}


async def test_pdf_page_is_the_plan_at_true_size(client_for):
    client = client_for()
    png = await client.get("/plans/120.png")
    pdf = await client.get("/plans/120.pdf")
    assert pdf.status_code == 200 and pdf.headers["content-type"] == "application/pdf"
    assert pdf.headers["x-plan-scale"] == png.headers["x-plan-scale"]
    assert pdf.headers["content-disposition"] == 'inline; filename="plan-120.pdf"'
    page = pdf_page(pdf.content)
    width_px, height_px = Image.open(io.BytesIO(png.content)).size
    at_300_dpi = (width_px / 300 * 25.4, height_px / 300 * 25.4)
    assert page["page_mm"] == pytest.approx((190.0, 160.0), abs=0.01)  # the plan's paper size
    assert page["page_mm"] == pytest.approx(at_300_dpi, abs=1.0)
    assert page["pixels"] == (width_px, height_px)  # embedded as drawn, not resampled
    width_mm, height_mm, x_mm, y_mm = page["placed_mm"]
    assert (width_mm, height_mm) == pytest.approx(at_300_dpi, abs=0.01)  # 100 %: 300 pixels to the inch
    assert (x_mm, y_mm) == (0.0, 0.0)


async def test_pdf_of_unknown_plot_is_404_like_the_png(client_for):
    client = client_for()
    response = await client.get("/plans/2147483000.pdf")
    assert (response.status_code, response.json()) == (404, {"detail": "Plot 2147483000 not found"})
    assert (await client.get("/plans/0.pdf")).status_code == 422
    assert (await client.get("/plans/abc.pdf")).status_code == 422
