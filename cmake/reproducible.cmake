# Byte-identical programs from the same sources and toolchain, whatever the
# source and build folders and the time of the build: the optimised builds
# record no folder, a Windows program's header carries no link time, and
# using __DATE__ or __TIME__ is an error (with CFGLINE_WERROR).
foreach(target cfgline_core cfgline)
  target_compile_options(${target} PRIVATE
    -Wdate-time
    $<$<NOT:$<CONFIG:Debug>>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>
    $<$<NOT:$<CONFIG:Debug>>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>)
endforeach()
if(WIN32)
  target_link_options(cfgline PRIVATE -Wl,--no-insert-timestamp)
endif()
