# The Windows program's resource (version information and manifest), compiled
# by the toolchain's windres into an object linked into the program.
if(NOT WIN32)
  return()
endif()

find_program(CFGLINE_WINDRES ${CMAKE_RC_COMPILER} REQUIRED)
set(CFGLINE_MANIFEST ${PROJECT_SOURCE_DIR}/src/app/cfgline.manifest)
configure_file(src/app/cfgline.rc.in cfgline.rc @ONLY)
add_custom_command(
  OUTPUT cfgline_rc.o
  COMMAND ${CFGLINE_WINDRES} -O coff -i cfgline.rc -o cfgline_rc.o
  DEPENDS ${PROJECT_BINARY_DIR}/cfgline.rc ${CFGLINE_MANIFEST}
  VERBATIM)
target_sources(cfgline PRIVATE ${PROJECT_BINARY_DIR}/cfgline_rc.o)
