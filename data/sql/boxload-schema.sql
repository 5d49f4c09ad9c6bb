-- The tables of boxstation's rows in PostgreSQL, schema version 3. Run once by the role that
-- owns them, in one transaction:
--     psql -v ON_ERROR_STOP=1 -1 -f boxload-schema.sql postgresql://owner@office/boxes
-- A station whose role may create tables runs it itself when boxload_results is missing. A
-- table of version 1 (made by a station before the version table existed) is upgraded with
-- migrate-1-to-2.sql, then migrate-2-to-3.sql; one of version 2 with migrate-2-to-3.sql.
DO $$
BEGIN
  IF to_regclass('boxload_results') IS NOT NULL AND to_regclass('boxload_schema_version') IS NULL THEN
    RAISE EXCEPTION 'boxload_results exists without boxload_schema_version: it is version 1; run migrate-1-to-2.sql';
  END IF;
  IF to_regclass('boxload_schema_version') IS NOT NULL THEN
    IF (SELECT coalesce(max(version), 0) FROM boxload_schema_version) = 2 THEN
      RAISE EXCEPTION 'boxload_results is version 2; run migrate-2-to-3.sql';
    END IF;
  END IF;
END
$$;

CREATE TABLE IF NOT EXISTS boxload_schema_version (
  version integer PRIMARY KEY,
  applied timestamptz NOT NULL DEFAULT now()
);

-- One row per box: the whole line of summary.jsonl in "row", its fields in typed columns. A
-- field with no column lives in "row" alone.
CREATE TABLE IF NOT EXISTS boxload_results (
  "schema" integer,
  record_id text NOT NULL UNIQUE,
  station text,
  slot integer,
  seq integer,
  port text,
  device text,
  adapter_serial text,
  "start" timestamptz,
  "end" timestamptz,
  seconds double precision,
  firmware_seconds double precision,
  software_seconds double precision,
  result text,
  category text,
  failure text,
  "exit" integer,
  signal text,
  platform text,
  repair_mode boolean,
  sdf_file text,
  sdf_bytes bigint,
  data_crc32 text,
  sdf_id text,
  resends integer,
  stray_bytes integer,
  boxload_version text,
  image_sha256 text,
  log text,
  trace text,
  run_id text,
  box_label text,
  "row" jsonb NOT NULL,
  stored timestamptz NOT NULL DEFAULT now(),
  -- The UTC day a box ended (started, for one cut off): what the reports group and filter on.
  day date GENERATED ALWAYS AS ((coalesce("end", "start", stored) AT TIME ZONE 'UTC')::date) STORED
);

-- The reports' paths: a day's yield per station, the failures per category, one port's history,
-- one box's history by its label (most rows have none).
CREATE INDEX IF NOT EXISTS boxload_results_end ON boxload_results ("end");
CREATE INDEX IF NOT EXISTS boxload_results_day_station ON boxload_results (day, station) INCLUDE (result);
CREATE INDEX IF NOT EXISTS boxload_results_failures ON boxload_results (day, category)
  WHERE result IS DISTINCT FROM 'updated';
CREATE INDEX IF NOT EXISTS boxload_results_station_port ON boxload_results (station, port, "end");
CREATE INDEX IF NOT EXISTS boxload_results_box_label ON boxload_results (box_label, "end") WHERE box_label IS NOT NULL;

CREATE OR REPLACE VIEW boxload_yield AS
  SELECT day, station, category,
         count(*) FILTER (WHERE result = 'updated') AS updated,
         count(*) FILTER (WHERE result IS DISTINCT FROM 'updated') AS failed
    FROM boxload_results GROUP BY day, station, category;

INSERT INTO boxload_schema_version (version) VALUES (3) ON CONFLICT DO NOTHING;
