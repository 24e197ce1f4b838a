# cmake -DVERSION=1.4 -DPAGE=man/wendrel.1 -DMIME_PAGE=man/wendrel-mime.1 [-DOTHER_PAGES=a.3;b.1]
#       -DCHANGELOG=packaging/changelog -P versions.cmake
#
# project() holds the version; the manual pages and the package changelog
# name it too, and must follow when it changes.
foreach(page "${PAGE}" "${MIME_PAGE}" ${OTHER_PAGES})
  file(STRINGS "${page}" title REGEX "^\\.TH " LIMIT_COUNT 1)
  if(NOT title MATCHES "\"wendrel ${VERSION}\"")
    message(FATAL_ERROR "${page}: the .TH line should name \"wendrel ${VERSION}\": ${title}")
  endif()
endforeach()
file(READ "${PAGE}" page)
string(FIND "${page}" "wendrel/${VERSION} by" usage)
if(usage EQUAL -1)
  message(FATAL_ERROR "${PAGE}: the usage text it quotes should name wendrel/${VERSION}")
endif()
file(READ "${MIME_PAGE}" page)
string(FIND "${page}" "(wendrel/${VERSION})" version)
if(version EQUAL -1)
  message(FATAL_ERROR "${MIME_PAGE}: the --version line it quotes should name (wendrel/${VERSION})")
endif()
file(STRINGS "${CHANGELOG}" entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^wendrel \\(${VERSION}\\) ")
  message(FATAL_ERROR "${CHANGELOG}: the newest entry should be for wendrel (${VERSION}): ${entry}")
endif()
