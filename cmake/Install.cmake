# Installs Tarvo as a desktop program: both programs in bin/; on Linux and the BSDs also the
# desktop entry, the icons, the AppStream metainfo and the man pages where the desktop and man
# look for them. `cpack -G DEB` in the build tree turns the same rules into a Debian package.
include(GNUInstallDirs)

install(TARGETS tarvo tarvo-cli
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    BUNDLE DESTINATION .)
# Linux and the BSDs get the licence in the machine-readable copyright file below.
if(NOT UNIX OR APPLE)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvo)
endif()

if(UNIX AND NOT APPLE)
    # The desktop file and the metainfo are named after the application id, which is how
    # software centres and the launchable element find one from the other.
    install(FILES ${PROJECT_SOURCE_DIR}/res/tarvo.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        RENAME ${TARVO_APP_ID}.desktop)
    install(FILES ${PROJECT_SOURCE_DIR}/res/${TARVO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${PROJECT_SOURCE_DIR}/res/tarvo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${PROJECT_SOURCE_DIR}/res/tarvo.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
    # The file managers' own menus for a selected file or folder: Dolphin's service menus and
    # Nemo's actions. The desktop entry's actions cover the desktops that show those.
    install(FILES ${PROJECT_SOURCE_DIR}/res/servicemenus/tarvo-zip.desktop
        ${PROJECT_SOURCE_DIR}/res/servicemenus/tarvo-unzip.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kio/servicemenus)
    install(FILES ${PROJECT_SOURCE_DIR}/res/nemo/tarvo-zip.nemo_action
        ${PROJECT_SOURCE_DIR}/res/nemo/tarvo-unzip.nemo_action
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nemo/actions)

    # Man pages and the changelog go compressed, without a name or time stamp in the gzip
    # header, so that the same sources give the same package.
    set(tarvo_gzipped_dir ${PROJECT_BINARY_DIR}/gzipped)
    set(tarvo_gzipped)
    foreach(source docs/tarvo.1 docs/tarvo-cli.1 res/debian/changelog)
        get_filename_component(name ${source} NAME)
        set(output ${tarvo_gzipped_dir}/${name}.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source}
                ${tarvo_gzipped_dir}/${name}
            COMMAND gzip -9nf ${tarvo_gzipped_dir}/${name}
            DEPENDS ${PROJECT_SOURCE_DIR}/${source}
            VERBATIM)
        list(APPEND tarvo_gzipped ${output})
    endforeach()
    add_custom_target(tarvo_gzipped ALL DEPENDS ${tarvo_gzipped})
    install(FILES ${tarvo_gzipped_dir}/tarvo.1.gz ${tarvo_gzipped_dir}/tarvo-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # The package's own record: its licence in the machine-readable form and its changes.
    install(FILES ${PROJECT_SOURCE_DIR}/res/debian/copyright
        ${tarvo_gzipped_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvo)
endif()

# Windows and macOS have no system Qt: the installed programs need Qt's libraries and plugins
# copied beside them (into the bundle on macOS). Qt's deploy script does that at install time.
if(WIN32 OR APPLE)
    if(Qt6_VERSION VERSION_GREATER_EQUAL 6.5)
        qt_generate_deploy_app_script(TARGET tarvo OUTPUT_SCRIPT tarvo_deploy_script
            NO_UNSUPPORTED_PLATFORM_ERROR)
    else()
        qt_generate_deploy_app_script(TARGET tarvo FILENAME_VARIABLE tarvo_deploy_script
            NO_UNSUPPORTED_PLATFORM_ERROR)
    endif()
    install(SCRIPT ${tarvo_deploy_script})
endif()

# ---- Debian package ----
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VENDOR "Kestrin Utilities")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small, fast zipper and unzipper")
# Lines of at most 80 characters, as package tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvo unpacks a zip archive into a folder beside it, named after the archive,
and packs a file or a folder into a zip archive beside it. Opening an archive
with Tarvo from the file manager unpacks it at once; its menu for a file or
folder packs it. tarvo-cli does the same from the command line.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${TARVO_PRODUCT_HOST}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "Kestrin Utilities <packages@kestrin-utilities.example>")
# Built with debug information for the developers; the package ships the programs without it.
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Qt, libzip, libbz2, liblzma, libzstd and C++ runtime dependencies come from the libraries
# the programs really link (the install test checks that each is declared).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
