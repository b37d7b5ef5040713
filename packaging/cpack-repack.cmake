# Run by cpack once the packages are built. cpack takes the modes of the
# folders in a package, and of the package's own members, from its scratch
# files, whose modes follow the builder's umask. So each package is
# unpacked, its folders given the 0755 that Debian's policy asks for, and
# packed again by dpkg-deb, which writes the members with dpkg's fixed
# modes and owner and the time SOURCE_DATE_EPOCH gives. Files are taken
# over unchanged.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${CPACK_QUELMAR_DPKG_DEB} --raw-extract "${deb}" "${tree}"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE folders LIST_DIRECTORIES true "${tree}/*")
  list(FILTER folders EXCLUDE REGEX "/DEBIAN/") # the control files' own
  foreach(folder IN ITEMS "${tree}" LISTS folders)
    if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
      file(CHMOD "${folder}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
           OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  execute_process(
    COMMAND ${CPACK_QUELMAR_DPKG_DEB} --root-owner-group -Zgzip -z9
            --build "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
