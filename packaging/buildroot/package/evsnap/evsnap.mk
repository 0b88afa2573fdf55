################################################################################
#
# evsnap
#
################################################################################

# By default the source tree this external tree sits in, at project()'s
# version. doc/building.md says how to build a release's source archive
# instead.
EVSNAP_SITE = $(BR2_EXTERNAL_EVSNAP_PATH)/../..
EVSNAP_SITE_METHOD = local
EVSNAP_VERSION = $(shell sed -n 's/^project.evsnap VERSION \([0-9.]*\).*/\1/p' \
	$(EVSNAP_SITE)/CMakeLists.txt)
# The presets' build trees stay out of the copy.
EVSNAP_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude=/build
EVSNAP_LICENSE = MIT
EVSNAP_LICENSE_FILES = LICENSE

$(eval $(cmake-package))
