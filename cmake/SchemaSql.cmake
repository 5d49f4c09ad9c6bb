# Carries data/sql/boxload-schema.sql inside boxstation as the text kSchemaSql, so that a station
# whose role may create tables makes missing ones from the very file the package installs.
set(_schema_sql_file "${CMAKE_SOURCE_DIR}/data/sql/boxload-schema.sql")
file(READ "${_schema_sql_file}" _schema_sql)
set(BOXLOAD_SCHEMA_SQL_SOURCE "${CMAKE_BINARY_DIR}/generated/schema_sql.cpp")
file(CONFIGURE OUTPUT "${BOXLOAD_SCHEMA_SQL_SOURCE}" CONTENT
"// Made at build time from data/sql/boxload-schema.sql; do not edit.
extern const char kSchemaSql[];
const char kSchemaSql[] = R\"boxload_sql(@_schema_sql@)boxload_sql\";
" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_schema_sql_file}")
