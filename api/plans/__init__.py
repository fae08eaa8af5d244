"""The host's survey plans: GET /plans/{plot_id}.png and .pdf (routes.py), the records a plan is
drawn from (records.py), drawn plans cached by content in Redis and in memory (cache.py), the
render pool's worker processes (pool.py) and what they run (jobs.py), the printable page
(pdf.py), and the plans' settings (settings.py)."""
