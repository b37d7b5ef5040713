# Read by cpack before it packs: the packages' file times and archive
# member times come from SOURCE_DATE_EPOCH in cpack's environment, which an
# outer build (dpkg-buildpackage, reprotest) may have set already.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_QUELMAR_SOURCE_DATE_EPOCH}")
endif()
