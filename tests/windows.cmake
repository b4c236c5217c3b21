# The tests of the Windows build. The unit tests are cross-built with
# GoogleTest from its sources and run under Wine; the end-to-end suite is the
# Linux test driver of the dev build, which then starts kestrel.exe under
# Wine as its child and expects what Windows gives (CR LF output, the
# backslash) and leaves out what only POSIX has.
set(KESTREL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
set(KESTREL_HOST_TEST_DRIVER ${PROJECT_SOURCE_DIR}/build/dev/tests/kestrel_tests
    CACHE FILEPATH "The Linux test driver that runs the end-to-end suite against kestrel.exe")

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESTREL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_target_properties(gtest gtest_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
include(GoogleTest)

add_executable(kestrel_unit_tests
    base_name_test.cpp
    folder_check_test.cpp
    mailbox_writer_test.cpp
    settings_test.cpp
    text_input_test.cpp
    vax_date_test.cpp)
target_link_libraries(kestrel_unit_tests PRIVATE kestrel_core kestrel_folder_core kestrel_mbx_core
                      gtest_main)
# g++ 12 at -O2 takes a string concatenation for an overlapping memcpy (a
# known false -Wrestrict report).
target_compile_options(kestrel_unit_tests PRIVATE -Wno-restrict)

# Wine stays warm for the whole run: the first test makes the prefix and
# starts a persistent wineserver, the last one stops it. (wineboot's own
# server may still run then, so that no second one starts; it ends a few
# seconds after its last process, and the last test finds none to stop.)
set(wine_environment WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix)
add_test(NAME wine_start
         COMMAND /usr/bin/env ${wine_environment} sh -c "wineboot -i >/dev/null 2>&1; (setsid wineserver -p </dev/null >/dev/null 2>&1 &)")
add_test(NAME wine_stop COMMAND /usr/bin/env ${wine_environment} sh -c "wineserver -k; exit 0")
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# The first run under Wine makes its prefix, which takes a while.
gtest_discover_tests(kestrel_unit_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300
                     PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)

# The end-to-end suite against kestrel.exe and kestrel-folder.exe, by the
# Linux driver of the dev build. What needs POSIX (signals, resource limits,
# FIFOs, symbolic links, a directory removed under the program) is left out.
add_test(NAME windows_end_to_end
         COMMAND ${KESTREL_HOST_TEST_DRIVER}
                 "--gtest_filter=EndToEnd*:Cases/EndToEnd*:BadInput*:InjectedFault*:WindowsOnly*-EndToEndConversion.MailboxWriteFailureLeavesNothing:*DanglingLinkNamedMbx:EndToEndFolder.RepairWriteFailureLeavesNoCopy")
# kestrel-mbx.exe: the suite of kestrel-mbx, imap over Schannel against the
# Linux dovecot, and the cases of Windows alone. A kill -9 under Wine leaves
# the output pipes to the wineserver, so the killed runs are left out.
add_test(NAME windows_mbx_end_to_end
         COMMAND ${KESTREL_HOST_TEST_DRIVER}
                 "--gtest_filter=MailboxExport*:MbxOnWindows*:Imap.*-Imap.KilledRuns*")
set_tests_properties(windows_end_to_end windows_mbx_end_to_end PROPERTIES
    FIXTURES_REQUIRED wine
    TIMEOUT 1200
    ENVIRONMENT "KESTREL_TEST_BINARY=$<TARGET_FILE:kestrel>;KESTREL_TEST_FAULTY_BINARY=$<TARGET_FILE:kestrel_faulty>;KESTREL_TEST_MBX_BINARY=$<TARGET_FILE:kestrel-mbx>;KESTREL_TEST_FOLDER_BINARY=$<TARGET_FILE:kestrel-folder>;KESTREL_TEST_EMULATOR=${KESTREL_WINE};${wine_environment}")

# The Linux test driver is the dev build's, brought up to date by this
# build, so that the windows workflow also works on a fresh clone alone.
if(KESTREL_HOST_TEST_DRIVER STREQUAL "${PROJECT_SOURCE_DIR}/build/dev/tests/kestrel_tests")
    add_custom_target(host_test_driver ALL
        COMMAND ${CMAKE_COMMAND} --preset dev
        COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
                ${CMAKE_COMMAND} --build --preset dev --target kestrel_tests -j 2
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        COMMENT "Building the Linux test driver of the dev build"
        USES_TERMINAL)
endif()
