# Run by `cmake --install`: installs the example configuration as the
# configuration unless one is there already (never over one that its
# administrator may have changed), and makes the folders it names for the
# store and the images, readable by root alone. DORVANE_EXAMPLE,
# DORVANE_SYSCONFDIR and DORVANE_STATEDIR come from the build; a relative
# folder is under the prefix given to the install.

function(dorvane_install_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# Made with the given mode when missing; an existing folder is left as it is.
function(dorvane_install_folder dir)
  if(NOT IS_DIRECTORY "${dir}")
    message(STATUS "Installing: ${dir}")
    file(MAKE_DIRECTORY "${dir}")
    file(CHMOD "${dir}" DIRECTORY_PERMISSIONS ${ARGN})
  endif()
endfunction()

dorvane_install_path(etc "${DORVANE_SYSCONFDIR}")
dorvane_install_path(state "${DORVANE_STATEDIR}")
set(root "$ENV{DESTDIR}")

dorvane_install_folder("${root}${state}" OWNER_READ OWNER_WRITE OWNER_EXECUTE
                       GROUP_READ GROUP_EXECUTE)
dorvane_install_folder("${root}${state}/www" OWNER_READ OWNER_WRITE OWNER_EXECUTE
                       GROUP_READ GROUP_EXECUTE)

# A run refuses configuration that group or others may write, whatever the
# umask of the install.
dorvane_install_folder("${root}${etc}/dorvane" OWNER_READ OWNER_WRITE OWNER_EXECUTE
                       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(conf "${root}${etc}/dorvane/dorvane.conf")
if(EXISTS "${conf}")
  message(STATUS "Keeping: ${conf}")
else()
  file(READ "${DORVANE_EXAMPLE}" text)
  # The example names /var/lib/dorvane; an install with other folders
  # names its own.
  string(REPLACE "/var/lib/dorvane/" "${state}/" text "${text}")
  message(STATUS "Installing: ${conf}")
  file(WRITE "${conf}" "${text}")
  file(CHMOD "${conf}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
