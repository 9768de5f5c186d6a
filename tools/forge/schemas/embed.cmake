# Embeds the table layouts of tools/forge/schemas/*/*.sql into a generated
# header, so the forge builds its databases on a machine that has only the repo.
file(GLOB_RECURSE _forge_sql_files CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/*.sql)
list(SORT _forge_sql_files)
set(_forge_schema_entries "")
foreach(_f ${_forge_sql_files})
  file(READ ${CMAKE_CURRENT_LIST_DIR}/${_f} _txt)
  string(APPEND _forge_schema_entries "    {\"${_f}\", R\"sql(${_txt})sql\"},\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${_f})
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/forge_schemas.inc
  CONTENT "// Generated from tools/forge/schemas; do not edit.\n@_forge_schema_entries@" @ONLY)
target_include_directories(salvor_forge PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
