"""vexa's map back end: vector tiles from PostGIS (maptile_hub) and survey plans (plots).

Both modules import the host application's own modules (`database`, `logger`, `helpers`),
so the host's directory must be on sys.path before they are imported.
"""
