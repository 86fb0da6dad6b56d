# Turns the systemd units of examples/ into the Debian package's: they run the
# package's command, which no home directory holds, so they keep no
# capability, map the host's users away and hide the home directories (see
# the units' own comments).
s|^\(Exec[A-Za-z]*=\)/usr/local/bin/tallowick |\1/usr/bin/tallowick |
s|^CapabilityBoundingSet=CAP_DAC_READ_SEARCH$|CapabilityBoundingSet=|
s|^PrivateUsers=no$|PrivateUsers=yes|
s|^ProtectHome=read-only$|ProtectHome=yes|
