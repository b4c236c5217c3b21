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

# One Wine session for the whole run: the first test starts a wineserver
# that stays, in a private prefix, before any program runs; the last one
# fails unless that same server is still there, and ends it.
set(wine_environment WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix)
set(wine_session sh ${CMAKE_CURRENT_SOURCE_DIR}/wine_session.sh)
add_test(NAME wine_start
         COMMAND /usr/bin/env ${wine_environment} ${wine_session} start
                 ${CMAKE_BINARY_DIR}/wineserver.pid)
add_test(NAME wine_stop
         COMMAND /usr/bin/env ${wine_environment} ${wine_session} stop
                 ${CMAKE_BINARY_DIR}/wineserver.pid)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

# The unit tests in one process under Wine (GoogleTest names each failure).
add_test(NAME windows_unit_tests COMMAND kestrel_unit_tests)
set_tests_properties(windows_unit_tests PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 180)

# The end-to-end suite against kestrel.exe and kestrel-folder.exe, by the
# Linux driver of the dev build. What needs POSIX (signals, resource limits,
# FIFOs, symbolic links, a directory removed under the program) is left out.
# In three parts of about a minute each, so that the two processors share
# them evenly.
add_test(NAME windows_end_to_end
         COMMAND ${KESTREL_HOST_TEST_DRIVER}
                 "--gtest_filter=EndToEnd*:Cases/EndToEnd*:BadInput*-EndToEndConversion.MailboxWriteFailureLeavesNothing:*DanglingLinkNamedMbx:EndToEndFolder.RepairWriteFailureLeavesNoCopy")
# The injected faults (a sample of the calls, see calls_to_try) and the
# cases of Windows alone.
add_test(NAME windows_faults_and_console
         COMMAND ${KESTREL_HOST_TEST_DRIVER} "--gtest_filter=InjectedFault*:WindowsOnly*")
# kestrel-mbx.exe: the suite of kestrel-mbx and the cases of Windows alone.
add_test(NAME windows_mbx_end_to_end
         COMMAND ${KESTREL_HOST_TEST_DRIVER}
                 "--gtest_filter=MailboxExport*:MbxOnWindows*")
# kestrel-mbx.exe's imap over Schannel against the Linux dovecot. A kill -9
# under Wine leaves the output pipes to the wineserver, so the killed runs
# are left out (the dropped connections stay).
add_test(NAME windows_imap
         COMMAND ${KESTREL_HOST_TEST_DRIVER} "--gtest_filter=Imap.*-Imap.KilledRuns*")
# Wine under load now and then runs a program of the suite without its
# output (status 1, nothing written): the windows test preset runs a test
# that fails once more, and a fault of the programs fails both runs.
set_tests_properties(windows_end_to_end windows_faults_and_console windows_mbx_end_to_end
                     windows_imap
    PROPERTIES
    FIXTURES_REQUIRED wine
    TIMEOUT 600
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

# The .zip that the windows workflow makes at its end.
add_test(NAME windows_zip
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/package/check_zip.sh ${CMAKE_CPACK_COMMAND}
                 ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(windows_zip PROPERTIES TIMEOUT 120)
