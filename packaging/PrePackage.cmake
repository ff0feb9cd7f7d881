# Runs after CPack has staged the files and before it zips them: every file gets the same
# date, SOURCE_DATE_EPOCH (else the commit's date), so the same sources give the same zips.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
execute_process(COMMAND touch -h -d "@${CPACK_VELMORA_EPOCH}" ${staged} COMMAND_ERROR_IS_FATAL ANY)
