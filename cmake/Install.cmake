# What `cmake --install` puts where, under the usual prefixes (GNUInstallDirs):
# the programs in bin, the shared libraries (and the static ones a client of
# the public interfaces links) in lib, the public interface headers under
# include/vantry, the man pages, and on Linux the systemd units and the
# one-time set-up command they run.
#
#   cmake --install build --prefix /usr
#   systemctl daemon-reload && systemctl enable --now vantry-pellion
set(VANTRY_PROGRAMS pellion drennic quennel vantry-ask vantry-reg vantry-sc vantry-events)
foreach(program ${VANTRY_PROGRAMS})
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
install(TARGETS kessla ruvane
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(NOT WIN32)
    # Marrish.h declares a static library over the protocol's client library
    # and the platform layer: a client links all three (and SQLite, threads, dl).
    install(TARGETS marrish vremote vplatform ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# The headers keep their folders, so that their own includes
# ("platform/win32.h") resolve with -I<prefix>/include/vantry.
set(VANTRY_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/vantry)
install(FILES filter/Kessla.h DESTINATION ${VANTRY_INCLUDEDIR}/filter)
install(FILES reactions/Ruvane.h DESTINATION ${VANTRY_INCLUDEDIR}/reactions)
install(FILES remote/marrish/Marrish.h DESTINATION ${VANTRY_INCLUDEDIR}/remote/marrish)
install(FILES remote/RemoteRequest.h DESTINATION ${VANTRY_INCLUDEDIR}/remote)
install(FILES platform/win32.h DESTINATION ${VANTRY_INCLUDEDIR}/platform)
if(NOT WIN32)
    file(GLOB VANTRY_PLATFORM_HEADERS ${CMAKE_SOURCE_DIR}/platform/posix/*.h)
    install(FILES ${VANTRY_PLATFORM_HEADERS} DESTINATION ${VANTRY_INCLUDEDIR}/platform/posix)
endif()

if(WIN32)
    return()
endif()

install(FILES packaging/man/vantry-ask.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
file(GLOB VANTRY_MAN8 ${CMAKE_SOURCE_DIR}/packaging/man/*.8)
install(FILES ${VANTRY_MAN8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(PROGRAMS packaging/vantry-setup DESTINATION ${CMAKE_INSTALL_BINDIR})
# Beside the built programs too, which it finds beside itself (scripts/run.sh).
configure_file(packaging/vantry-setup ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vantry-setup COPYONLY)

# The units name the programs by their installed path, which is known only
# when installing (--prefix may differ from the configured prefix): they are
# made from their templates then.
set(VANTRY_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
    "Where the systemd units go, relative to the prefix (or absolute)")
set(VANTRY_UNITS vantry-drennic.service vantry-pellion.service)
set(VANTRY_UNIT_BUILD_DIR ${CMAKE_BINARY_DIR}/packaging/systemd)
install(CODE "
    if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
        set(VANTRY_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    else()
        set(VANTRY_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    endif()
    foreach(unit ${VANTRY_UNITS})
        configure_file(\"${CMAKE_SOURCE_DIR}/packaging/systemd/\${unit}.in\"
                       \"${VANTRY_UNIT_BUILD_DIR}/\${unit}\" @ONLY)
    endforeach()
")
foreach(unit ${VANTRY_UNITS})
    install(FILES ${VANTRY_UNIT_BUILD_DIR}/${unit} DESTINATION ${VANTRY_SYSTEMD_UNITDIR})
endforeach()
