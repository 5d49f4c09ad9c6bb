-- boxload_results of version 2 to version 3: the box's label, as the operator scanned it
-- (boxstation --label), in a column of its own with an index for one box's history:
--     psql -v ON_ERROR_STOP=1 -1 -f migrate-2-to-3.sql postgresql://owner@office/boxes
-- Stations go on storing into a version 2 table meanwhile, the label in "row" alone; the rows
-- stored so get their column filled here from it.
DO $$
BEGIN
  IF to_regclass('boxload_schema_version') IS NULL THEN
    RAISE EXCEPTION 'boxload_schema_version does not exist: this database is version 1; run migrate-1-to-2.sql first';
  END IF;
  IF (SELECT coalesce(max(version), 0) FROM boxload_schema_version) <> 2 THEN
    RAISE EXCEPTION 'this database is not of version 2';
  END IF;
END
$$;

ALTER TABLE boxload_results ADD COLUMN IF NOT EXISTS box_label text;
UPDATE boxload_results SET box_label = "row"->>'box_label' WHERE box_label IS NULL AND "row" ? 'box_label';
CREATE INDEX IF NOT EXISTS boxload_results_box_label ON boxload_results (box_label, "end") WHERE box_label IS NOT NULL;

INSERT INTO boxload_schema_version (version) VALUES (3);
