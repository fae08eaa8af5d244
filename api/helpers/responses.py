"""The host's JSON answer envelope: {"status_code", "message", "data"}, sent with that status."""

from __future__ import annotations

from typing import Any

from fastapi.responses import JSONResponse


def api_response(*, data: Any = None, message: str = "Success", status_code: int = 200) -> dict[str, Any]:
    """The envelope of one answer."""
    return {"status_code": status_code, "message": message, "data": data}


def api_router_response(envelope: dict[str, Any]) -> JSONResponse:
    """The envelope as the HTTP answer, its status taken from the envelope."""
    return JSONResponse(content=envelope, status_code=envelope["status_code"])
