# Run by CPack on the staged tree of the Debian package just before it is
# packed (CPACK_PRE_BUILD_SCRIPTS): compresses the manual pages and adds the
# copyright file and the changelog that a Debian package carries.
# `make install` leaves the pages uncompressed and installs LICENSE only.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(source "${CPACK_SUITE_SOURCE_DIR}")

# Manual pages: gzip -9n, the best compression and no name or time stamp in
# the header, so the same pages always give the same bytes.
file(GLOB pages "${root}/share/man/man*/*.[0-9]")
foreach(page ${pages})
  execute_process(COMMAND gzip -9n -f "${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${page}: ${failed}")
  endif()
endforeach()

# The copyright file, machine-readable: LICENSE's holder and terms. In this
# format the MIT licence is called Expat; its text is indented by one
# space, an empty line written as " .".
file(READ "${source}/LICENSE" license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)")
  message(FATAL_ERROR "LICENSE names no copyright holder")
endif()
set(holder "${CMAKE_MATCH_1}")
string(FIND "${license}" "Permission is hereby granted" start)
string(SUBSTRING "${license}" ${start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${holder}
License: Expat
 ${terms}
")

# The changelog, whose latest entry must be this version.
file(STRINGS "${source}/packaging/changelog" first LIMIT_COUNT 1)
if(NOT first MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins \"${first}\"; "
                      "its latest entry must be version ${CPACK_PACKAGE_VERSION}")
endif()
execute_process(COMMAND gzip -9n -c "${source}/packaging/changelog"
                OUTPUT_FILE "${doc}/changelog.gz" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip packaging/changelog: ${failed}")
endif()
