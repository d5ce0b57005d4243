# `cmake --install build [--prefix /usr]` lays brix out as a system package
# does:
#   bin/brixctl, sbin/brixd         the hosts
#   LIBDIR/brix/brix.so             the engine, in a folder of its own
#   include/brix.h, brix_sql.h      and LIBDIR/pkgconfig/brix.pc for agents
#   lib/systemd/system/brixd.service, SYSCONFDIR/default/brixd
#   share/man, share/doc/brix       man pages, guides and examples
# brix.so is an engine for brix's hosts, not a library for the linker's
# search path, so the hosts find it by a RUNPATH relative to themselves:
# the installed tree works from any prefix and may be moved as a whole.
include(GNUInstallDirs)

set(BRIX_INSTALL_ENGINEDIR ${CMAKE_INSTALL_LIBDIR}/brix)

install(TARGETS brix LIBRARY DESTINATION ${BRIX_INSTALL_ENGINEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/brix.h ${PROJECT_SOURCE_DIR}/include/brix_sql.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/brixd.md
              ${PROJECT_SOURCE_DIR}/docs/reliability.md ${PROJECT_SOURCE_DIR}/docs/journal.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The example scripts keep their execute bits: the example trace's drift
# events examine them as programs.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        USE_SOURCE_PERMISSIONS)

if(TARGET brixctl AND TARGET brixd)
  foreach(tool_dir BINDIR SBINDIR)
    file(RELATIVE_PATH to_engine ${CMAKE_INSTALL_FULL_${tool_dir}}
         ${CMAKE_INSTALL_FULL_LIBDIR}/brix)
    set(engine_rpath_${tool_dir} "\$ORIGIN/${to_engine}")
  endforeach()
  set_target_properties(brixctl PROPERTIES INSTALL_RPATH "${engine_rpath_BINDIR}")
  set_target_properties(brixd PROPERTIES INSTALL_RPATH "${engine_rpath_SBINDIR}")
  install(TARGETS brixctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS brixd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

  # The man pages are the tools' own --help texts, set by help2man around
  # the few sections a help text lacks (packaging/man/*.h2m), so that the
  # two never disagree.  Instrumented builds, which are not shipped, do not
  # run their tools to make them.
  find_program(BRIX_HELP2MAN help2man)
  if(BRIX_HELP2MAN AND NOT BRIX_SANITIZE AND NOT BRIX_BUILD_FUZZ)
    set(man_pages "")
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
    foreach(page brixctl:1 brixd:8)
      string(REPLACE ":" ";" page ${page})
      list(GET page 0 tool)
      list(GET page 1 section)
      set(include_file ${PROJECT_SOURCE_DIR}/packaging/man/${tool}.h2m)
      set(out ${CMAKE_BINARY_DIR}/man/${tool}.${section})
      add_custom_command(OUTPUT ${out}.gz
        COMMAND ${BRIX_HELP2MAN} --no-info --section=${section}
                --version-string=${PROJECT_VERSION} --include=${include_file}
                --output=${out} $<TARGET_FILE:${tool}>
        COMMAND gzip -9nf ${out}
        DEPENDS ${tool} ${include_file}
        COMMENT "Writing the man page ${tool}(${section})"
        VERBATIM)
      install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
      list(APPEND man_pages ${out}.gz)
    endforeach()
    add_custom_target(brix_man ALL DEPENDS ${man_pages})
  elseif(NOT BRIX_HELP2MAN)
    message(WARNING "help2man not found: brixctl(1) and brixd(8) are not built "
                    "(scripts/setup.sh installs it)")
  endif()
endif()

# The unit, the daemon's defaults and the pkg-config file name installed
# paths, which are known only when installing (`--prefix` may differ from
# the configured prefix): they are written then.
if(TARGET brixctl AND TARGET brixd)
  set(with_daemon ON)
else()
  set(with_daemon OFF)
endif()
install(CODE "
  set(BRIX_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(BRIX_STAGING_DIR \"${CMAKE_BINARY_DIR}/install-configured\")
  set(BRIX_VERSION \"${PROJECT_VERSION}\")
  set(BRIX_WITH_DAEMON ${with_daemon})
  set(BRIX_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(BRIX_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(BRIX_ENGINEDIR \"${BRIX_INSTALL_ENGINEDIR}\")
  set(BRIX_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(BRIX_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
  set(BRIX_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallConfigured.cmake\")
")

# The Debian package: built by scripts/package.sh from this build tree,
# checked, installed into a scratch root and used there.  Sanitized builds
# are not what a package ships.
if(BRIX_BUILD_TESTS AND TARGET brix_man)
  add_test(NAME DebianPackage
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(DebianPackage PROPERTIES TIMEOUT 300)
endif()
