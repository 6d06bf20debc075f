# The Debian package of the installed files (`scripts/package`, or `cpack -G DEB` in a build tree).
# Shared-library dependencies are found by dpkg-shlibdeps from the programs themselves; what the
# programs run rather than link is declared by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linquara)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Linquara maintainers <linquara@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "X clients of a Unix host on an X terminal over a serial line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Host side of Linquara: lqhostd, the relay that carries X clients over a serial line to an X\n terminal; lqterm, the terminal end for a Unix workstation with an X server; xwd2hc and hcview\n for the colour printers; fontconv for the terminal's fonts; data_qz to send print jobs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# xterm is the relay's default session; fontconv runs bdftopcf, mkfontdir and compress.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xterm, xfonts-utils, ncompress")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "openssh-client, openssh-server, x11-apps")
set(CPACK_STRIP_FILES ON)
include(CPack)
