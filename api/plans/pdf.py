"""The printable survey plan: one PDF page of the plan's paper size.

The plan's PNG (300 dpi) is placed on the page at 100 %, pixel for pixel at 300 dpi, so the scale
bar measures true when the page is printed at actual size.

The page is written here rather than by a plotting library's PDF backend: all it holds is one
image, and matplotlib's, which resamples the image through floating-point copies, took some
450 MB more and 0.6-1 s for a 2244 x 1889 plan in each drawing process, where decoding the PNG
and deflating its pixels takes about 40 MB more and 0.1 s. The bytes depend only on the plan,
its paper and its title: the same plan gives the same PDF.
"""

from __future__ import annotations

import io
import zlib

from PIL import Image

PLAN_DPI = 300
MM_PER_INCH = 25.4
POINTS_PER_INCH = 72


def _points(value: float) -> str:
    return f"{value:.4f}".rstrip("0").rstrip(".")


def _text(value: str) -> bytes:
    """A PDF text string of any text: UTF-16BE with its byte-order mark, in hex."""
    return b"<FEFF" + value.encode("utf-16-be").hex().upper().encode() + b">"


def _stream(dictionary: bytes, data: bytes) -> bytes:
    return b"<< " + dictionary + b" /Filter /FlateDecode /Length %d >>\nstream\n" % len(data) + data + b"\nendstream"


def plan_pdf(png: bytes, paper_mm: tuple[float, float], title: str) -> bytes:
    """One PDF page of `paper_mm` with the 300 dpi image `png` at its lower left corner, unscaled."""
    image = Image.open(io.BytesIO(png)).convert("RGB")
    width_px, height_px = image.size
    pixels = zlib.compress(image.tobytes(), 6)
    del image
    page_w, page_h = (mm / MM_PER_INCH * POINTS_PER_INCH for mm in paper_mm)
    image_w, image_h = (px / PLAN_DPI * POINTS_PER_INCH for px in (width_px, height_px))
    content = zlib.compress(f"q\n{_points(image_w)} 0 0 {_points(image_h)} 0 0 cm /I1 Do\nQ\n".encode())
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [ 3 0 R ] /Count 1 >>",
        f"<< /Type /Page /Parent 2 0 R /MediaBox [ 0 0 {_points(page_w)} {_points(page_h)} ] "
        f"/Resources << /XObject << /I1 5 0 R >> >> /Contents 4 0 R >>".encode(),
        _stream(b"", content),
        _stream(f"/Type /XObject /Subtype /Image /Width {width_px} /Height {height_px} /ColorSpace /DeviceRGB "
                f"/BitsPerComponent 8".encode(), pixels),
        b"<< /Title " + _text(title) + b" /Creator (vexa) /Producer (vexa) >>",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, len(objects), xref)
    return bytes(out)
