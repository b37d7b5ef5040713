# Fails when a manual page in MAN_DIR names a release other than VERSION
# (the newest entry of debian/changelog) in its .TH line.
file(GLOB pages ${MAN_DIR}/*.[0-9])
if(NOT pages)
  message(FATAL_ERROR "no manual pages in ${MAN_DIR}")
endif()
foreach(page IN LISTS pages)
  get_filename_component(name ${page} NAME)
  file(STRINGS ${page} th REGEX "^\\.TH " LIMIT_COUNT 1)
  if(NOT th MATCHES " ${VERSION}\" ")
    message(FATAL_ERROR "${name} is not for ${VERSION}: ${th}")
  endif()
  message(STATUS "${name}: ${VERSION}")
endforeach()
