-- The change log of the layer tables and its triggers, for the tile service's change listener.
-- Idempotent: run it on an existing database (after scripts/schema.sql or a schema of its own
-- shape) to have edits reach the map by themselves; it changes no data.
--
-- Every change to a layer table (insert, update, delete,
-- truncate) records the bounds it touched, old and new, in "GIS".tile_changes inside the edit's
-- own transaction, and notifies the channel vexa_tile_changes when it commits. The tile
-- service's change listener (one per database, elected by an advisory lock) removes exactly the
-- cached tiles over those bounds, then deletes the rows it applied. A row without bounds stands
-- for the whole layer (a TRUNCATE). The active listener also purges changes older than its
-- retention (VEXA_CHANGE_RETENTION_S, a day by default), so the log stays bounded even while no
-- listener runs for long: a change older than the longest cache lifetime reaches no cached tile.
CREATE TABLE IF NOT EXISTS "GIS".tile_changes (
    id bigserial PRIMARY KEY,
    layer text NOT NULL,
    minx double precision,
    miny double precision,
    maxx double precision,
    maxy double precision,
    changed_at timestamptz NOT NULL DEFAULT clock_timestamp()
);
-- The listener reads a layer's changes in batches, in order, and purges the oldest.
CREATE INDEX IF NOT EXISTS tile_changes_layer_id ON "GIS".tile_changes (layer, id);
CREATE INDEX IF NOT EXISTS tile_changes_changed_at ON "GIS".tile_changes (changed_at);

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
