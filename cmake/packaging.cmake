# Install rules and packages. A Windows tree installs the program, the NSIS
# include, README and LICENSE, the installer authors' guide and the
# reference in doc/, and the example installers in installer/, as in the
# sources, so that the README's links hold; it packs them as a ZIP. The Linux tree
# installs the program, its man page and its documents in the usual places
# and packs them as a Debian package. scripts/package makes both.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME cfgline)
set(CPACK_PACKAGE_VENDOR "the cfgline authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "edit single lines of text files and items of registry values")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS cfgline RUNTIME DESTINATION .)
  # cfgline.nsh stays beside the program, where installers have found it.
  install(FILES README.md LICENSE installer/cfgline.nsh DESTINATION .)
  install(FILES doc/installers.md doc/reference.md DESTINATION doc)
  install(FILES installer/example.nsi installer/example.wxs DESTINATION installer)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME cfgline-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
  include(CPack)
  return()
endif()

# The man page and Debian's changelog, compressed as Debian wants them: no
# name or time in the gzip header. The changelog's date is
# $SOURCE_DATE_EPOCH when set.
configure_file(doc/cfgline.1.in cfgline.1 @ONLY)
string(TIMESTAMP CFGLINE_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CFGLINE_MAINTAINER "the cfgline authors <cfgline@users.noreply.invalid>")
file(CONFIGURE OUTPUT changelog @ONLY CONTENT
"cfgline (@PROJECT_VERSION@) unstable; urgency=medium

  * Release @PROJECT_VERSION@.

 -- @CFGLINE_MAINTAINER@  @CFGLINE_RELEASE_DATE@
")
add_custom_command(
  OUTPUT cfgline.1.gz changelog.gz
  COMMAND gzip -9nkf cfgline.1 changelog
  DEPENDS ${PROJECT_BINARY_DIR}/cfgline.1 ${PROJECT_BINARY_DIR}/changelog
  VERBATIM)
add_custom_target(cfgline_docs ALL DEPENDS cfgline.1.gz changelog.gz)

install(TARGETS cfgline RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/cfgline.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
# The reference in doc/, as in the sources, so that the README's links hold.
install(FILES doc/reference.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)

set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CFGLINE_MAINTAINER})
# CPack puts the summary above this as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"cfgline makes, and later undoes, single-line edits: it adds a line to a text
file or removes the lines that contain a text, adds an item to a
semicolon-separated registry string value such as PATH or removes it, and
deletes files. On Linux the registry is a folder tree of its own.")
include(CPack)
