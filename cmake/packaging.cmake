# The Debian package of the tool (cpack -G DEB in the build folder, or
# scripts/package-deb.sh): bin/kestrun, lib/kestrun/libkestrun-media.so, the
# manual page, the bash completion and the sample clip, under /usr. The
# dependencies are what dpkg-shlibdeps finds the two files need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrun)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrun Archive Codec")
set(CPACK_PACKAGE_CONTACT "Kestrun Archive Codec maintainers <maintainers@users.noreply.c-seed-90b8f033.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lossless archival video codec (KSHA) - command-line tool")
set(CPACK_PACKAGE_DESCRIPTION "kestrun encodes video (AVI, Y4M, anything FFmpeg's libraries read) to AVI
files of the Kestrun Archive Codec, whose every frame is a key frame and
comes back byte for byte, writes a fixity file of per-picture MD5s beside
each archive, and verifies, decodes and describes archives.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
