# What `cmake --install` puts where, and the Debian package CPack makes of it.
# The programs and libraries install their own targets beside their sources; this adds the
# desktop integration and the package.

# The menu entry and the program icon in the sizes the resources hold.
install(FILES ${CMAKE_SOURCE_DIR}/resources/tessaly.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/hicolor/${size}x${size}/apps/tessaly.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# The Debian documents of the package: copyright and changelog (compressed, as policy asks).
set(changelog_gz ${CMAKE_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/debian
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/resources/debian/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/debian/changelog
  VERBATIM)
add_custom_target(tessaly_debian_docs ALL DEPENDS ${changelog_gz})
install(FILES ${CMAKE_SOURCE_DIR}/resources/debian/copyright ${changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package version is the program's own version text.
file(STRINGS ${CMAKE_SOURCE_DIR}/resources/res/tessaly.rc version_line REGEX "^ *PRODUCTVERSION ")
string(REGEX MATCH "([0-9]+),([0-9]+),([0-9]+)" version_match "${version_line}")
if(NOT version_match)
  message(FATAL_ERROR "No PRODUCTVERSION in resources/res/tessaly.rc")
endif()
set(TESSALY_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaly)
set(CPACK_PACKAGE_VERSION ${TESSALY_VERSION})
set(CPACK_PACKAGE_VENDOR "Veskora")
set(CPACK_PACKAGE_CONTACT "Tessaly maintainers <tessaly@veskora.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# CPack puts the leading blank of the extended description's lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "desktop manager for PKCS#11 smart cards and tokens
Tessaly loads the PKCS#11 modules of card readers and tokens, shows their
slots, tokens, certificates and keys, and follows card insertion and removal.
It logs in (also through a PIN pad), changes and unblocks PINs, initialises
cards and prints their access report, imports, exports, views and deletes
certificates, tests keys by signing and verifying, and enrols certificates
with a certificate operator's request service.
.
The package also holds brannick, which initialises a card from the command
line.")
set(CPACK_STRIP_FILES ON)
# Dependencies come from the shared libraries the programs link; the program's own
# libraries sit in its private folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "softhsm2 | opensc-pkcs11")
# Qt's own catalogues: the texts of Qt's buttons and dialogs in the user's language.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qttranslations5-l10n")
# The policy files in the data folder are the package's configuration files: an operator's
# own files there survive an upgrade.
set(conffiles "")
get_property(policy_files GLOBAL PROPERTY TESSALY_POLICY_FILES)
foreach(file ${policy_files})
  string(APPEND conffiles "${TESSALY_DATA_INSTALL_DIR}/${file}\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "${conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
include(CPack)
