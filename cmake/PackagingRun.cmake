# Read by cpack for each package it makes (CPACK_PROJECT_CONFIG_FILE).

# CPackDeb would put the project's one summary line before each package's
# description; each package's description starts with its own.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
