# The backup pass: destination, change processing, pruning and the folder watcher.
set(varn_service_backup_sources "")
foreach(name destination change_processing pruning watcher)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
    list(APPEND varn_service_backup_sources ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  endif()
endforeach()
add_library(varn_service_backup STATIC ${varn_service_backup_sources})
target_include_directories(varn_service_backup PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_service_backup PUBLIC varn_service_core varn_cipher mpr rpcrt4)

# The benchmark program of bench/: built on request only, never run by CTest.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/backup_pass_bench.cpp)
  add_executable(backup_pass_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/backup_pass_bench.cpp)
  target_link_libraries(backup_pass_bench PRIVATE varn_service_backup)
  target_link_options(backup_pass_bench PRIVATE -municode)
  set_target_properties(backup_pass_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
