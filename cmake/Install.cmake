# What `cmake --install` puts where, and the packages that CPack makes of
# it: a .deb of the POSIX build, a .zip of the Windows one. Included after
# every add_subdirectory, so that it sees the targets of all of them.

include(GNUInstallDirs)

file(GLOB kestrel_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
set(kestrel_programs kestrel kestrel-folder kestrel-mbx)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    # The .zip: the programs (kestrel.exe, kestrel-folder.exe,
    # kestrel-mbx.exe), the README, the manual pages and the example folder,
    # side by side.
    install(TARGETS ${kestrel_programs} RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
    install(FILES examples/MAIL.TXT DESTINATION examples)

    # The manual pages as HTML, which Windows opens in its browser, each
    # linking to the others (kestrel.html, kestrel-folder.html, ...).
    find_program(KESTREL_MANDOC mandoc)
    if(KESTREL_MANDOC)
        set(html_pages)
        foreach(page IN LISTS kestrel_man_pages)
            get_filename_component(name ${page} NAME_WE)
            set(out ${PROJECT_BINARY_DIR}/man/${name}.html)
            add_custom_command(OUTPUT ${out}
                               COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                               COMMAND sh -c "\"$0\" -T html -O man=%N.html \"$1\" > \"$2\""
                                       ${KESTREL_MANDOC} ${page} ${out}
                               DEPENDS ${page}
                               COMMENT "Writing the manual page ${name} as HTML"
                               VERBATIM)
            list(APPEND html_pages ${out})
        endforeach()
        add_custom_target(html_pages ALL DEPENDS ${html_pages})
        install(FILES ${html_pages} DESTINATION .)
    else()
        message(WARNING "mandoc not found: the .zip will hold no manual pages")
    endif()
else()
    install(TARGETS ${kestrel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Debian packages carry their copyright notice beside the documentation.
    install(FILES README.md cmake/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

    # Every manual page of man/, compressed as Debian has them when gzip is
    # there, as they are otherwise.
    find_program(KESTREL_GZIP gzip)
    if(KESTREL_GZIP)
        set(compressed_pages)
        foreach(page IN LISTS kestrel_man_pages)
            get_filename_component(name ${page} NAME)
            set(out ${PROJECT_BINARY_DIR}/man/${name})
            add_custom_command(OUTPUT ${out}.gz
                               COMMAND ${CMAKE_COMMAND} -E copy ${page} ${out}
                               COMMAND ${KESTREL_GZIP} -9nf ${out}
                               DEPENDS ${page}
                               COMMENT "Compressing the manual page ${name}")
            list(APPEND compressed_pages ${out}.gz)
        endforeach()
        add_custom_target(man_pages ALL DEPENDS ${compressed_pages})
        install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
        install(FILES ${kestrel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endif()

set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "KESTREL developers")
set(CPACK_PACKAGE_CONTACT "KESTREL developers <kestrel-developers@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converts VAX/VMS MAIL folders into PC mailbox files")
set(CPACK_PACKAGE_DESCRIPTION
    "KESTREL reads the text files that VAX/VMS MAIL extracts from its folders and\n"
    "writes each one as a mailbox file of a PC mail client, with the message heads\n"
    "rewritten for the client. It never overwrites a file and never leaves a\n"
    "half-written mailbox behind.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME kestrel-${PROJECT_VERSION}-windows-x86_64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION mail)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # The dependencies come from the binaries, through dpkg-shlibdeps.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

# The package's own tests (preset "package"): they need dpkg-deb, dpkg-shlibdeps
# and mandoc, which a user's build does not.
option(KESTREL_PACKAGE_TESTS "Test the .deb package and the manual pages" OFF)
if(KESTREL_PACKAGE_TESTS)
    add_test(NAME man_pages_lint
             COMMAND sh ${PROJECT_SOURCE_DIR}/tests/package/lint_man_pages.sh
                     ${kestrel_man_pages})
    add_test(NAME deb_package
             COMMAND sh ${PROJECT_SOURCE_DIR}/tests/package/check_deb.sh ${CMAKE_CPACK_COMMAND}
                     ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION})
    set_tests_properties(man_pages_lint deb_package PROPERTIES LABELS package)
endif()
