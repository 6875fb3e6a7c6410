# Run by cpack once the components are staged, before the packages are made
# (CPACK_PRE_BUILD_SCRIPTS): adds what Debian asks of every package and a
# plain install does without. Each package gets usr/share/doc/PACKAGE/ with
# the license as its copyright file and a changelog (gzip -9n, as
# dpkg-deb's tools write them, so that the files are the same from run to
# run), and its man pages compressed.

set(prefix ${CPACK_PACKAGING_INSTALL_PREFIX})
file(READ ${CPACK_RESOURCE_FILE_LICENSE} license)
# The copyright file in Debian's machine-readable format, the license text
# as its body: lines indented by one space, a blank line as " .".
string(REGEX MATCH "Copyright \\(c\\) [^\n]*" notice "${license}")
string(REGEX REPLACE "^Copyright \\(c\\) " "" notice "${notice}")
string(REGEX REPLACE "^MIT License\n+" "" body "${license}")
string(REGEX REPLACE "Copyright \\(c\\) [^\n]*\n+" "" body "${body}")
string(REGEX REPLACE "\n+$" "" body "${body}")
string(REPLACE "\n\n" "\n.\n" body "${body}")
string(REPLACE "\n" "\n " body "${body}")
set(copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}

Files: *
Copyright: ${notice}
License: Expat
 ${body}
")

# Dated by SOURCE_DATE_EPOCH when set, for reproducible packages.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)

function(gzip_file file)  # replaces FILE with FILE.gz
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9nf ${file} failed")
  endif()
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component}${prefix})
  set(doc ${root}/share/doc/${package})
  file(WRITE ${doc}/copyright "${copyright}")
  file(WRITE ${doc}/changelog "${CPACK_DEBIAN_PACKAGE_SOURCE} (${CPACK_DEBIAN_PACKAGE_VERSION}) unstable; urgency=medium

  * Version ${CPACK_DEBIAN_PACKAGE_VERSION}, packaged from the source tree.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
  gzip_file(${doc}/changelog)
  file(GLOB_RECURSE pages LIST_DIRECTORIES false ${root}/share/man/*)
  foreach(page IN LISTS pages)
    if(NOT page MATCHES "\\.gz$" AND NOT IS_SYMLINK ${page})
      gzip_file(${page})
    endif()
  endforeach()
endforeach()
