-- The cadastral layers the tile service reads, geometries in EPSG:3857. Idempotent.
CREATE EXTENSION IF NOT EXISTS postgis;
CREATE SCHEMA IF NOT EXISTS "GIS";

CREATE TABLE IF NOT EXISTS "GIS"."LGAs" (
    id integer PRIMARY KEY,
    name text NOT NULL,
    geometry geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."Districts" (
    id integer PRIMARY KEY,
    name text NOT NULL,
    lga_id integer REFERENCES "GIS"."LGAs" (id),
    geometry geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."CadZones" (
    id integer PRIMARY KEY,
    name text NOT NULL,
    district_id integer REFERENCES "GIS"."Districts" (id),
    geometry geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."PLOT" (
    "ID" integer PRIMARY KEY,
    "PLOT_NO" text NOT NULL,
    "STATUS" text,
    "AREA_SYSTEM" double precision,
    "GENERAL_LU" text,
    "CADZONE" text,
    "DETAIL_LU" text,
    "file_no" text,
    "GEOMETRY" geometry(Polygon, 3857) NOT NULL
);

CREATE TABLE IF NOT EXISTS "GIS"."BEACON" (
    "ID" integer PRIMARY KEY,
    "BEACON_NO" text NOT NULL,
    "STATUS" text,
    "REMARK" text,
    "GEOMETRY" geometry(Point, 3857) NOT NULL
);

CREATE INDEX IF NOT EXISTS lgas_geometry_gist ON "GIS"."LGAs" USING gist (geometry);
CREATE INDEX IF NOT EXISTS districts_geometry_gist ON "GIS"."Districts" USING gist (geometry);
CREATE INDEX IF NOT EXISTS cadzones_geometry_gist ON "GIS"."CadZones" USING gist (geometry);
CREATE INDEX IF NOT EXISTS plot_geometry_gist ON "GIS"."PLOT" USING gist ("GEOMETRY");
CREATE INDEX IF NOT EXISTS beacon_geometry_gist ON "GIS"."BEACON" USING gist ("GEOMETRY");

-- Road centrelines of the demo fabric, for survey plans (not a tile layer).
CREATE TABLE IF NOT EXISTS "GIS"."ROADS" (
    id integer PRIMARY KEY,
    name text NOT NULL,
    width_m double precision NOT NULL,
    geometry geometry(LineString, 3857) NOT NULL
);
CREATE INDEX IF NOT EXISTS roads_geometry_gist ON "GIS"."ROADS" USING gist (geometry);

-- The tile statement orders a tile's plots by ST_Area("GEOMETRY") DESC before its LIMIT.
-- Where a tile holds most of the plots (low zooms), walking this index from the largest area
-- down and stopping at the LIMIT beats sorting every plot of the tile; the planner picks it
-- from the row estimates of the spatial index, which the larger statistics target sharpens.
CREATE INDEX IF NOT EXISTS plot_area ON "GIS"."PLOT" (ST_Area("GEOMETRY"));
ALTER TABLE "GIS"."PLOT" ALTER COLUMN "GEOMETRY" SET STATISTICS 1000;
-- The planner counts the statement's "&&" and the one ST_Intersects implies as two independent
-- tests, so it expects a tile to hold the square of its true share of the plots and keeps
-- sorting tiles that hold a fifth of them (zoom 11 at a million plots: 240,000 plots tested
-- with ST_Intersects, 400 to 600 ms). A high cost of ST_Area, paid per plot only where every
-- plot of the tile is sorted, moves its choice back to where the walk down the area index pays.
-- An extension function's cost is not kept by pg_dump or an upgrade of PostGIS: run this file
-- (or this statement) again after either.
ALTER FUNCTION ST_Area(geometry) COST 1000000;

-- Planner and executor settings for the tile statements, on this database (new sessions):
-- - jit off: compiling a tile statement costs more than running it (100 ms and more at zoom 8);
-- - plan_cache_mode force_custom_plan: the database drivers prepare each statement, and after
--   five runs PostgreSQL may switch to one generic plan for every tile address; the best plan
--   depends on how much of the tile holds plots (walk the area index, or sort the tile's plots),
--   so each tile is planned with its own bounds;
-- - work_mem 64MB: the top-N sort of a low-zoom tile stays in memory instead of spilling;
-- - random_page_cost 1.1: the plot table and its indexes are expected to stay cached.
DO $$
BEGIN
    EXECUTE format('ALTER DATABASE %I SET jit = off', current_database());
    EXECUTE format('ALTER DATABASE %I SET plan_cache_mode = force_custom_plan', current_database());
    EXECUTE format('ALTER DATABASE %I SET work_mem = %L', current_database(), '64MB');
    EXECUTE format('ALTER DATABASE %I SET random_page_cost = 1.1', current_database());
END
$$;
-- Plot search by the start of a plot number or file number, any case (api/search/routes.py):
-- the lower-cased keys in byte order, so that a prefix is one range of each index.
CREATE INDEX IF NOT EXISTS plot_no_search ON "GIS"."PLOT" ((lower("PLOT_NO") COLLATE "C"));
CREATE INDEX IF NOT EXISTS plot_file_no_search ON "GIS"."PLOT" ((lower(file_no) COLLATE "C"));
