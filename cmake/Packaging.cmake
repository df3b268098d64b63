# The Debian package: `cpack -G DEB` in the build folder writes
# ambrel_VERSION_ARCH.deb from the same install rules as `cmake --install`.
# dpkg-shlibdeps finds the libraries the programs link; Qt's platform plugins
# are loaded at run time, so they are named here.
set(AMBREL_PACKAGE_MAINTAINER "Ambrel developers <maintainers@ambrel.invalid>" CACHE STRING
    "The maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ambrel)
set(CPACK_PACKAGE_VENDOR "Ambrel developers")
set(CPACK_PACKAGE_CONTACT "${AMBREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert HEIC/HEIF photos into JPEG, PNG, BMP, TIFF or JPEG 2000 files")
# In lines of less than 80 characters, as Debian's tools show them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Ambrel converts the HEIC/HEIF photos that phones and cameras write into"
  "ordinary JPEG, PNG, BMP, TIFF or JPEG 2000 files, correctly oriented, with"
  "their colour profile, EXIF and XMP, and without overwriting anything: a"
  "desktop application (ambrel), a batch converter (ambrel-convert) and a HEIF"
  "inspector (ambrel-heifinfo).")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-image-formats-plugins")
# What the file managers' action shows its result with.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libnotify-bin | zenity | kdialog")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A source package (cpack --config CPackSourceConfig.cmake) leaves out the
# repository and the build folders.
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/\\.cache/")
include(CPack)
