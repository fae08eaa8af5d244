"""The host's plot search: GET /plots/search by the start of a plot number or file number (routes.py)."""
