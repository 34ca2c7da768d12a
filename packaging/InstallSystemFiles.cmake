# Installs the files that belong at the system's own places rather than under the prefix: the
# configuration, the log rotation and the systemd unit. Runs at install time, because the
# prefix may be chosen only then (cmake --install BUILD --prefix /usr, or cpack), and the
# directories follow GNUInstallDirs' rule for the system configuration directory: /etc for
# the prefixes / and /usr, /etc/opt/NAME for /opt/NAME, PREFIX/etc otherwise.
#
# Set by the install rule before this script runs:
#   TELVORD_SOURCE_DIR, TELVORD_BINARY_DIR   packaging/ in the source and the build tree
#   TELVORD_SYSCONFDIR, TELVORD_SBINDIR      CMAKE_INSTALL_SYSCONFDIR and _SBINDIR
#   TELVORD_LIBEXECDIR                       CMAKE_INSTALL_LIBEXECDIR
#   TELVORD_SYSTEMD_UNITDIR                  the unit directory for the prefixes / and /usr

function(telvord_full_dir result directory prefix)
    if(IS_ABSOLUTE "${directory}")
        set(${result} "${directory}" PARENT_SCOPE)
    elseif(prefix STREQUAL "/")
        set(${result} "/${directory}" PARENT_SCOPE)
    else()
        set(${result} "${prefix}/${directory}" PARENT_SCOPE)
    endif()
endfunction()

string(REGEX REPLACE "(.)/+$" "\\1" prefix "${CMAKE_INSTALL_PREFIX}")

if(IS_ABSOLUTE "${TELVORD_SYSCONFDIR}")
    set(etc "${TELVORD_SYSCONFDIR}")
elseif(prefix STREQUAL "/" OR prefix STREQUAL "/usr")
    set(etc "/${TELVORD_SYSCONFDIR}")
elseif(prefix MATCHES "^/opt/")
    set(etc "/${TELVORD_SYSCONFDIR}${prefix}")
else()
    set(etc "${prefix}/${TELVORD_SYSCONFDIR}")
endif()

if(prefix STREQUAL "/" OR prefix STREQUAL "/usr")
    set(unitdir "${TELVORD_SYSTEMD_UNITDIR}")
else()
    set(unitdir "${prefix}/lib/systemd/system")
endif()

telvord_full_dir(TELVORD_FULL_SBINDIR "${TELVORD_SBINDIR}" "${prefix}")
telvord_full_dir(TELVORD_FULL_LIBEXECDIR "${TELVORD_LIBEXECDIR}" "${prefix}")

# The units name their programs by their installed paths, which depend on the prefix. Each
# install configures them in a directory of its own: installs from one build tree may run side
# by side (several packages made at once), and a configured file that another install replaces
# while this one copies it is gone.
string(RANDOM LENGTH 16 installToken)
set(unitsDir "${TELVORD_BINARY_DIR}/install-${installToken}")
foreach(name telvord telvord-lockdown)
    configure_file("${TELVORD_SOURCE_DIR}/${name}.service.in" "${unitsDir}/${name}.service" @ONLY)
    file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${unitsDir}/${name}.service")
endforeach()
file(REMOVE_RECURSE "${unitsDir}")

# An administrator's configuration is never overwritten; a package manager handles it as a
# configuration file instead.
set(configuration "$ENV{DESTDIR}${etc}/telvor.clientd.conf")
if(EXISTS "${configuration}")
    message(STATUS "Keeping: ${configuration}")
else()
    file(INSTALL DESTINATION "${etc}" TYPE FILE FILES
         "${TELVORD_SOURCE_DIR}/telvor.clientd.conf")
endif()

file(INSTALL DESTINATION "${etc}/logrotate.d" TYPE FILE RENAME telvord FILES
     "${TELVORD_SOURCE_DIR}/telvord.logrotate")

if(NOT etc STREQUAL "/etc")
    message(STATUS "Note: telvord reads only /etc/telvor.clientd.conf and logrotate only "
                   "/etc/logrotate.d; with the prefix ${prefix} they were installed below ${etc}")
endif()
