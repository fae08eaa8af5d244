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
-- Plot search by the start of a plot number or file number, any case (api/search_routes.py):
-- the lower-cased keys in byte order, so that a prefix is one range of each index.
CREATE INDEX IF NOT EXISTS plot_no_search ON "GIS"."PLOT" ((lower("PLOT_NO") COLLATE "C"));
CREATE INDEX IF NOT EXISTS plot_file_no_search ON "GIS"."PLOT" ((lower(file_no) COLLATE "C"));

-- Edits reach the map by themselves: every change to a layer table (insert, update, delete,
-- truncate) records the bounds it touched, old and new, in "GIS".tile_changes inside the edit's
-- own transaction, and notifies the channel vexa_tile_changes when it commits. The tile
-- service's change listener (one per database, elected by an advisory lock) removes exactly the
-- cached tiles over those bounds, then deletes the rows it applied. A row without bounds stands
-- for the whole layer (a TRUNCATE).
CREATE TABLE IF NOT EXISTS "GIS".tile_changes (
    id bigserial PRIMARY KEY,
    layer text NOT NULL,
    minx double precision,
    miny double precision,
    maxx double precision,
    maxy double precision,
    changed_at timestamptz NOT NULL DEFAULT clock_timestamp()
);

-- One statement's changed rows, as distinct bounds: arguments are the layer's name and its
-- geometry column. SECURITY DEFINER, so that every role that may edit a layer has its edits
-- recorded without a grant on the change log.
CREATE OR REPLACE FUNCTION "GIS".record_tile_changes() RETURNS trigger
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, public AS $$
DECLARE
    layer text := TG_ARGV[0];
    bounds text := format('SELECT ST_XMin(g::box2d) AS minx, ST_YMin(g::box2d) AS miny,'
                          ' ST_XMax(g::box2d) AS maxx, ST_YMax(g::box2d) AS maxy', TG_ARGV[1]);
    touched text;
BEGIN
    IF TG_OP = 'TRUNCATE' THEN
        INSERT INTO "GIS".tile_changes (layer) VALUES (layer);
    ELSE
        touched := CASE TG_OP
            WHEN 'INSERT' THEN format('SELECT %I AS g FROM new_rows', TG_ARGV[1])
            WHEN 'DELETE' THEN format('SELECT %I AS g FROM old_rows', TG_ARGV[1])
            ELSE format('SELECT %1$I AS g FROM old_rows UNION ALL SELECT %1$I AS g FROM new_rows', TG_ARGV[1])
        END;
        EXECUTE format('INSERT INTO "GIS".tile_changes (layer, minx, miny, maxx, maxy)'
                       ' SELECT DISTINCT $1, minx, miny, maxx, maxy FROM (%s FROM (%s) AS t WHERE g IS NOT NULL) AS b',
                       bounds, touched)
            USING layer;
    END IF;
    PERFORM pg_notify('vexa_tile_changes', layer);
    RETURN NULL;
END
$$;

DO $$
DECLARE
    layer record;
BEGIN
    FOR layer IN SELECT * FROM (VALUES ('plots', 'PLOT', 'GEOMETRY'), ('beacons', 'BEACON', 'GEOMETRY'),
                                       ('cadzones', 'CadZones', 'geometry'), ('districts', 'Districts', 'geometry'),
                                       ('lgas', 'LGAs', 'geometry')) AS l (name, tab, geom)
    LOOP
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_changes_insert AFTER INSERT ON "GIS".%I'
                       ' REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT'
                       ' EXECUTE FUNCTION "GIS".record_tile_changes(%L, %L)', layer.tab, layer.name, layer.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_changes_update AFTER UPDATE ON "GIS".%I'
                       ' REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows FOR EACH STATEMENT'
                       ' EXECUTE FUNCTION "GIS".record_tile_changes(%L, %L)', layer.tab, layer.name, layer.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_changes_delete AFTER DELETE ON "GIS".%I'
                       ' REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT'
                       ' EXECUTE FUNCTION "GIS".record_tile_changes(%L, %L)', layer.tab, layer.name, layer.geom);
        EXECUTE format('CREATE OR REPLACE TRIGGER tile_changes_truncate AFTER TRUNCATE ON "GIS".%I'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION "GIS".record_tile_changes(%L, %L)',
                       layer.tab, layer.name, layer.geom);
    END LOOP;
END
$$;
