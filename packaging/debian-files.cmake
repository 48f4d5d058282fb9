# Runs inside CPack once the files are staged and before the package is made:
# Debian wants manual pages compressed, and every package to carry its
# copyright file and changelog under /usr/share/doc/<package>.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")

function(gzip_file file)
  # -n leaves out the name and time stamp: the same input gives the same package.
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

gzip_file("${root}/share/man/man1/update.1")
file(MAKE_DIRECTORY "${doc}")
# Debian keeps the licence in the copyright file only.
file(REMOVE "${doc}/LICENSE")
file(COPY "${CPACK_UPDATE_PACKAGING_DIR}/copyright" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY "${CPACK_UPDATE_PACKAGING_DIR}/changelog" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
gzip_file("${doc}/changelog")
