# The service program: framework, control thread and command line in a library
# (unit-testable), the entry point and the resources in the executable.
add_library(varn_service_program STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ntservice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/control_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp)
target_include_directories(varn_service_program PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_service_program PUBLIC varn_service_core advapi32 kernel32)

# Message table: windmc keeps the line ends of its input in the texts, and
# each text must end in CR LF.
set(varn_msgs_dir ${CMAKE_CURRENT_BINARY_DIR}/msgs)
add_custom_command(
  OUTPUT ${varn_msgs_dir}/msgs.rc ${varn_msgs_dir}/msgs.h ${varn_msgs_dir}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${varn_msgs_dir}
  COMMAND sed "s/\\r*$/\\r/" ${CMAKE_CURRENT_LIST_DIR}/msgs.mc > ${varn_msgs_dir}/msgs.mc
  COMMAND i686-w64-mingw32-windmc -U -h ${varn_msgs_dir} -r ${varn_msgs_dir} ${varn_msgs_dir}/msgs.mc
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/msgs.mc
  VERBATIM)
add_custom_target(varn_service_msgs DEPENDS ${varn_msgs_dir}/msgs.rc)

# The program needs every area of the service; until all are in the tree it is left out.
if(TARGET varn_service_pipe AND TARGET varn_service_backup)
  add_executable(VarnBackupService
    ${CMAKE_CURRENT_LIST_DIR}/main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VarnBackupService.rc)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/VarnBackupService.rc PROPERTIES
    OBJECT_DEPENDS "${varn_msgs_dir}/msgs.rc;${varn_msgs_dir}/MSG00409.bin")
  target_include_directories(VarnBackupService PRIVATE ${varn_msgs_dir})
  add_dependencies(VarnBackupService varn_service_msgs)
  target_link_libraries(VarnBackupService PRIVATE
    varn_service_program varn_service_pipe varn_service_backup varn_service_core varn_cipher)
  # Only the common library refers to the log writer's values, and it comes
  # after their library on the link line: ask for them up front.
  target_link_options(VarnBackupService PRIVATE -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
  set_target_properties(VarnBackupService PROPERTIES OUTPUT_NAME VarnBackupService)
  varn_register_executable(VarnBackupService)
endif()
