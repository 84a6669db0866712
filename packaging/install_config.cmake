# Install-time step (run by install(CODE) from packaging/CMakeLists.txt): the
# files that name installed paths are written here rather than at configure
# time, so that they follow the prefix given to "cmake --install --prefix"
# (and the staging prefix of the package). Expects JEX_SOURCE_DIR,
# JEX_BINARY_DIR, JEX_SBINDIR, JEX_LIBEXECDIR and JEX_UNITDIR (as configured,
# relative to the prefix or absolute).
#
# Writes:
#   <sysconfdir>/jex/jex.cfg   mode 0600, only when none is there yet
#   <unitdir>/jex.service      the service unit

# The prefix layout of GNUInstallDirs: a /usr prefix keeps its configuration
# in /etc and its state in /var; any other prefix keeps them below itself.
function(jex_full_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(jex_sysconfdir "/etc")
  set(jex_localstatedir "/var")
  set(jex_runstatedir "/run")
else()
  set(jex_sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
  set(jex_localstatedir "${CMAKE_INSTALL_PREFIX}/var")
  set(jex_runstatedir "${CMAKE_INSTALL_PREFIX}/var/run")
endif()
jex_full_dir(jex_sbindir "${JEX_SBINDIR}")
jex_full_dir(jex_libexecdir "${JEX_LIBEXECDIR}")
jex_full_dir(jex_unitdir "${JEX_UNITDIR}")

# Values of the template's placeholders.
set(JEX_AGENT_PATH "${jex_sbindir}/jex")
set(JEX_SCRIPTS_DIR "${jex_libexecdir}/jex")
set(JEX_CFG_DIR "${jex_sysconfdir}/jex")
set(JEX_CFG_FILE "${JEX_CFG_DIR}/jex.cfg")
set(JEX_LOG_DIR "${jex_localstatedir}/log/jex")
set(JEX_OK_LOG "${JEX_LOG_DIR}/ok.log")
set(JEX_FAIL_LOG "${JEX_LOG_DIR}/fail.log")
set(JEX_VERBOSE_LOG "${JEX_LOG_DIR}/verbose.log")
set(JEX_PID_FILE "${jex_runstatedir}/jex/jex.pid")

set(staging "${JEX_BINARY_DIR}/packaging/installed")
configure_file("${JEX_SOURCE_DIR}/example/jex.cfg.in" "${staging}/jex.cfg" @ONLY)
configure_file("${JEX_SOURCE_DIR}/packaging/jex.service.in" "${staging}/jex.service" @ONLY)

# file(INSTALL) adds DESTDIR to an absolute destination itself; the check for
# an existing configuration has to add it by hand.
if(EXISTS "$ENV{DESTDIR}${JEX_CFG_FILE}")
  message(STATUS "Keeping: $ENV{DESTDIR}${JEX_CFG_FILE}")
else()
  file(INSTALL "${staging}/jex.cfg" DESTINATION "${JEX_CFG_DIR}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
endif()
file(INSTALL "${staging}/jex.service" DESTINATION "${jex_unitdir}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The log directory the configuration names (the service's LogsDirectory
# makes it too, owned by the service user).
file(MAKE_DIRECTORY "$ENV{DESTDIR}${JEX_LOG_DIR}")
