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

varn_bench_program(backup_pass_bench LIBS varn_service_backup LINK_OPTIONS -municode)
