# Run by `cmake --install`: writes the files that name installed paths (the
# systemd unit, the daemon's defaults, brix.pc) for the prefix being
# installed to, then installs them.  The caller sets BRIX_* to the
# configured folders, which may be relative to the prefix.

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/")
  set(prefix "")
endif()
foreach(dir SBINDIR LIBDIR ENGINEDIR INCLUDEDIR DOCDIR)
  if(IS_ABSOLUTE "${BRIX_${dir}}")
    set(full_${dir} "${BRIX_${dir}}")
  else()
    set(full_${dir} "${prefix}/${BRIX_${dir}}")
  endif()
endforeach()
# Configuration lives in /etc for the system's own prefixes, as
# GNUInstallDirs has it; elsewhere beside the installed tree.
if(IS_ABSOLUTE "${BRIX_SYSCONFDIR}")
  set(sysconfdir "${BRIX_SYSCONFDIR}")
elseif(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(sysconfdir "/etc")
elseif(prefix MATCHES "^/opt/(.*)")
  set(sysconfdir "/etc/opt/${CMAKE_MATCH_1}")
else()
  set(sysconfdir "${prefix}/${BRIX_SYSCONFDIR}")
endif()
# systemd reads units from /usr/local/lib/systemd/system as well as from
# /usr/lib/systemd/system.
set(unitdir "${prefix}/lib/systemd/system")

file(MAKE_DIRECTORY "${BRIX_STAGING_DIR}")

# brix.pc: the engine's name has no "lib" in front, so hosts link it by
# file name and find it at run time through their own RUNPATH.
set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
configure_file("${BRIX_SOURCE_DIR}/packaging/brix.pc.in" "${BRIX_STAGING_DIR}/brix.pc" @ONLY)
file(INSTALL "${BRIX_STAGING_DIR}/brix.pc" DESTINATION "${full_LIBDIR}/pkgconfig")

if(NOT BRIX_WITH_DAEMON)
  return()
endif()

# The unit and the defaults name the package's paths; other prefixes get
# their own.
function(brix_write_with_paths source staged)
  file(READ "${source}" text)
  string(REPLACE "/usr/sbin/brixd" "${full_SBINDIR}/brixd" text "${text}")
  string(REPLACE "/usr/share/doc/brix" "${full_DOCDIR}" text "${text}")
  string(REPLACE "/etc/default/brixd" "${sysconfdir}/default/brixd" text "${text}")
  file(WRITE "${staged}" "${text}")
endfunction()

brix_write_with_paths("${BRIX_SOURCE_DIR}/tools/brixd/brixd.service"
                      "${BRIX_STAGING_DIR}/brixd.service")
file(INSTALL "${BRIX_STAGING_DIR}/brixd.service" DESTINATION "${unitdir}")

# The administrator's settings are never overwritten by a later install.
if(EXISTS "$ENV{DESTDIR}${sysconfdir}/default/brixd")
  message(STATUS "Keeping: $ENV{DESTDIR}${sysconfdir}/default/brixd")
else()
  brix_write_with_paths("${BRIX_SOURCE_DIR}/packaging/brixd.default"
                        "${BRIX_STAGING_DIR}/default/brixd")
  file(INSTALL "${BRIX_STAGING_DIR}/default/brixd" DESTINATION "${sysconfdir}/default")
endif()
