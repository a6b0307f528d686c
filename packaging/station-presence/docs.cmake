# cmake -DSOURCE=CHECKOUT -DOUT=DIR -DVERSION=V -DMAINTAINER=M -DDATE=D -P docs.cmake
# Writes into DIR the package's copyright file (the project's LICENSE in Debian's
# machine-readable form), its changelog.Debian.gz and README.md, the server's part of docs/.

# The server's part of the reference: the receiving end, then presence.
file(READ ${SOURCE}/docs/receiving.md receiving)
file(READ ${SOURCE}/docs/presence.md presence)
file(WRITE ${OUT}/README.md "${receiving}\n${presence}")

# LICENSE: a title, the copyright line, then the licence's text.
file(READ ${SOURCE}/LICENSE license)
if(NOT license MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE is not the MIT licence with one copyright line")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")
file(WRITE ${OUT}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: station-reporter\n\n"
     "Files: *\nCopyright: ${holder}\nLicense: Expat\n ${text}\n")

file(WRITE ${OUT}/changelog.Debian
     "station-presence (${VERSION}) unstable; urgency=medium\n\n"
     "  * Package of station-reporter's server programs, version ${VERSION}.\n\n"
     " -- ${MAINTAINER}  ${DATE}\n")
# Without the name and time in the header, as Debian's tools compress.
execute_process(COMMAND gzip -n -9 -f ${OUT}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
