# The companion as a 32-bit setup registers it: the uninstall key exists in
# the 32-bit registry view only, and the 64-bit program still finds and starts
# the installed copy.
REG_VIEW=/reg:32
. "$(dirname "$0")/06_companion_dravolin.sh"
