"""The printable survey plan: one PDF page of the plan's paper size with the 300 dpi plan at 100 %,
cached by content as the PNG is."""

from __future__ import annotations

import io
import re
import shutil
import subprocess
import zlib

import pytest
from metrics_scrape import scrape
from PIL import Image, ImageChops, ImageStat

from plans import cache as plan_cache

pytestmark = pytest.mark.usefixtures("demo_cadastre")

MM_PER_POINT = 25.4 / 72


def pdf_page(pdf: bytes) -> dict:
    """Page size, embedded image size and the image's placement of a one-page PDF."""
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


async def pdf_renders(client) -> float:
    return (await scrape(client)).get(("vexa_plan_renders_total", (("format", "pdf"),)), 0)


def read_by_poppler(pdf: bytes, folder) -> Image.Image:
    """The page as Poppler's pdftoppm shows it at 300 dpi."""
    assert shutil.which("pdftoppm"), "poppler-utils is installed by scripts/dev.sh"
    (folder / "plan.pdf").write_bytes(pdf)
    subprocess.run(["pdftoppm", "-r", "300", "-png", "-singlefile", str(folder / "plan.pdf"), str(folder / "page")],
                   check=True, capture_output=True, timeout=60)
    return Image.open(folder / "page.png").convert("RGB")


def mean_difference(a: Image.Image, b: Image.Image) -> float:
    return sum(ImageStat.Stat(ImageChops.difference(a, b)).mean) / 3


async def test_pdf_page_is_the_plan_at_true_size_and_cached_as_the_png_is(client_for, raw_redis, tmp_path):
    client = client_for()
    renders_before = await pdf_renders(client)
    png = await client.get("/plans/120.png")
    pdf = await client.get("/plans/120.pdf")
    assert pdf.status_code == 200 and pdf.headers["content-type"] == "application/pdf"
    (key,) = raw_redis.scan_iter("survey_plan:pdf:*")  # beside the PNG's, under the same scheme
    assert key.decode().rsplit(":", 1)[0] == plan_cache.plan_key("pdf", "").rstrip(":")
    tag = pdf.headers["etag"]
    assert tag == plan_cache.etag(key.decode()) and pdf.headers["cache-control"] == "no-cache"
    again = await client.get("/plans/120.pdf")
    assert (again.status_code, again.content, again.headers["etag"]) == (200, pdf.content, tag)
    revalidated = await client.get("/plans/120.pdf", headers={"If-None-Match": tag})
    assert (revalidated.status_code, revalidated.content, revalidated.headers["etag"]) == (304, b"", tag)
    assert revalidated.headers["cache-control"] == "no-cache"
    assert await pdf_renders(client) - renders_before == 1  # drawn once, then from the cache
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
    # Another reader prints it as the plan: the page at 300 dpi, its lower left corner against the
    # PNG, differs from it by rounding at the lines' edges only (from a blank page, by over 10 levels).
    page_image = read_by_poppler(pdf.content, tmp_path)
    plan = Image.open(io.BytesIO(png.content)).convert("RGB")
    corner = page_image.crop((0, page_image.height - height_px, width_px, page_image.height))
    assert mean_difference(corner, plan) < 2.0
    assert mean_difference(Image.new("RGB", plan.size, "white"), plan) > 5.0


async def test_pdf_of_unknown_plot_is_404_like_the_png(client_for):
    client = client_for()
    response = await client.get("/plans/2147483000.pdf")
    assert (response.status_code, response.json()) == (404, {"detail": "Plot 2147483000 not found"})
    assert (await client.get("/plans/0.pdf")).status_code == 422
    assert (await client.get("/plans/abc.pdf")).status_code == 422
