SUMMARY = "Print the key code of the next input event record"
DESCRIPTION = "evsnap waits a bounded time for the next record of one Linux \
input event device (/dev/input/eventN) and prints one line, a hexadecimal key \
code that a boot script can act on. It links nothing but the C library."
SECTION = "utils"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=1d5620aba7fc5e6c23f4b4d916f210cd"

# The version is the file name's, which must be project()'s in CMakeLists.txt.
# By default the source tree this layer sits in, built where it lies, as
# devtool and externalsrc do for a tree being worked on; no links are left in it.
inherit cmake externalsrc
EXTERNALSRC = "${@os.path.normpath(d.getVar('FILE_DIRNAME') + '/../../../..')}"
EXTERNALSRC_SYMLINKS = ""

# A release's source archive instead: drop externalsrc from the inherit line
# and the two lines above, and take the archive with its sha256 line from the
# release's SHA256SUMS (it unpacks into evsnap-VERSION, the default S):
#   SRC_URI = "https://WHERE/evsnap-${PV}.tar.gz"
#   SRC_URI[sha256sum] = "..."

# The completion in a package of its own, as bash-completion.bbclass makes
# it, without that class's dependency on bash-completion (and bash).
PACKAGE_BEFORE_PN += "${PN}-bash-completion"
FILES:${PN}-bash-completion = "${datadir}/bash-completion"

# Distributions build without the tests (GoogleTest is not needed).
EXTRA_OECMAKE = "-DBUILD_TESTING=OFF"
