"""How the host's answers go out: gzip and ETags on tiles (compression.py), 304 for a current copy
(revalidation.py), the byte-bounded table of recent bodies (recent_bytes.py), Prometheus metrics
(metrics.py), and each client's fair share of the expensive routes (fair_share.py)."""
