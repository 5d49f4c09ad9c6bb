-- boxload_results of version 1 (made by a station, no version table) to version 2:
--     psql -v ON_ERROR_STOP=1 -1 -f migrate-1-to-2.sql postgresql://owner@office/boxes
-- Run by the table's owner while no station stores rows: the generated column rewrites the table
-- under its strongest lock, which a large table holds for a while. Stations go on storing into a
-- version 1 table meanwhile (fields without a column in "row" alone).
DO $$
BEGIN
  IF to_regclass('boxload_schema_version') IS NOT NULL THEN
    RAISE EXCEPTION 'boxload_schema_version exists: this database is past version 1';
  END IF;
END
$$;

CREATE TABLE boxload_schema_version (
  version integer PRIMARY KEY,
  applied timestamptz NOT NULL DEFAULT now()
);

-- A version 1 table made by an early station may lack the later columns.
ALTER TABLE boxload_results
  ADD COLUMN IF NOT EXISTS "schema" integer,
  ADD COLUMN IF NOT EXISTS station text,
  ADD COLUMN IF NOT EXISTS device text,
  ADD COLUMN IF NOT EXISTS adapter_serial text,
  ADD COLUMN IF NOT EXISTS firmware_seconds double precision,
  ADD COLUMN IF NOT EXISTS software_seconds double precision,
  ADD COLUMN IF NOT EXISTS category text,
  ADD COLUMN IF NOT EXISTS signal text,
  ADD COLUMN IF NOT EXISTS platform text,
  ADD COLUMN IF NOT EXISTS repair_mode boolean,
  ADD COLUMN IF NOT EXISTS sdf_bytes bigint,
  ADD COLUMN IF NOT EXISTS sdf_id text,
  ADD COLUMN IF NOT EXISTS resends integer,
  ADD COLUMN IF NOT EXISTS stray_bytes integer,
  ADD COLUMN IF NOT EXISTS boxload_version text,
  ADD COLUMN IF NOT EXISTS image_sha256 text,
  ADD COLUMN IF NOT EXISTS run_id text,
  ADD COLUMN IF NOT EXISTS stored timestamptz NOT NULL DEFAULT now(),
  ADD COLUMN day date GENERATED ALWAYS AS ((coalesce("end", "start", stored) AT TIME ZONE 'UTC')::date) STORED;

-- Version 1 indexed platform, which names a model, not a box: the reports no longer use it.
DROP INDEX IF EXISTS boxload_results_platform;
CREATE INDEX IF NOT EXISTS boxload_results_end ON boxload_results ("end");
CREATE INDEX boxload_results_day_station ON boxload_results (day, station) INCLUDE (result);
CREATE INDEX boxload_results_failures ON boxload_results (day, category) WHERE result IS DISTINCT FROM 'updated';
CREATE INDEX boxload_results_station_port ON boxload_results (station, port, "end");

-- The view's columns stay as they were; its day now comes from the column.
CREATE OR REPLACE VIEW boxload_yield AS
  SELECT day, station, category,
         count(*) FILTER (WHERE result = 'updated') AS updated,
         count(*) FILTER (WHERE result IS DISTINCT FROM 'updated') AS failed
    FROM boxload_results GROUP BY day, station, category;

INSERT INTO boxload_schema_version (version) VALUES (1), (2);
